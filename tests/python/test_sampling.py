"""Sampling: exact area fractions, the laminate average against an independent solution of
the interface conditions, placement of every component, mirror and transpose exactness,
paint order and the errors."""

import doctest
import math

import numpy as np
import pytest
import shapely
from hypothesis import assume, given, settings
from hypothesis import strategies as st
from scipy import integrate

import corvane as cv
from corvane import materials
from corvane.geometry import Ellipse, Layer, Polygon, Rectangle, Structure
from corvane.grid import Grid
from corvane.sampling import _classify, dual_cell_extents, grid_snapper, sample_materials

LAM = 1.55
EPS_IN, EPS_OUT = 4.0, 1.0


def _fraction(sampled_component):
    """Area fraction of the inner material from an arithmetic (area) average."""
    return (sampled_component.real - EPS_OUT) / (EPS_IN - EPS_OUT)


def _ellipse_area_in_box(c, r, x0, x1, y0, y1):
    def height(x):
        t = 1 - ((x - c[0]) / r[0]) ** 2
        if t <= 0:
            return 0.0
        h = r[1] * math.sqrt(t)
        return max(0.0, min(y1, c[1] + h) - max(y0, c[1] - h))
    a, b = max(x0, c[0] - r[0]), min(x1, c[0] + r[0])
    return integrate.quad(height, a, b, epsabs=1e-14, limit=200)[0] if a < b else 0.0


class TestAreaFractions:
    def test_ellipse_fractions_match_the_analytic_areas(self):
        c, r = (0.037, -0.021), (0.43, 0.29)
        s = Structure([Ellipse(center=c, radii=r, material=math.sqrt(EPS_IN))], background=1.0)
        g = Grid.uniform(x=(-0.6, 0.6), y=(-0.5, 0.5), step=0.1)
        eps = sample_materials(s, g, LAM, averaging="area").eps
        x0, x1, y0, y1 = dual_cell_extents(g, False, True)  # Ey samples
        for i in range(g.nx):
            for j in range(g.ny):
                exact = _ellipse_area_in_box(c, r, x0[i], x1[i], y0[j], y1[j])
                area = (x1[i] - x0[i]) * (y1[j] - y0[j])
                assert _fraction(eps[1, 1, i, j]) == pytest.approx(exact / area, abs=2e-4)

    def test_slanted_polygon_fractions_are_exact(self):
        # Everything below the line y = 0.3 x + 0.013 inside the window.
        tri = Polygon(vertices=[(-1, -1), (1, -1), (1, 0.313), (-1, -0.287)],
                      material=math.sqrt(EPS_IN))
        s = Structure([tri], background=1.0)
        g = Grid.uniform(x=(-0.5, 0.5), y=(-0.3, 0.3), step=0.1)
        eps = sample_materials(s, g, LAM, averaging="area").eps
        x0, x1, y0, y1 = dual_cell_extents(g, False, False)  # Ez samples
        for i in range(g.nx):
            for j in range(g.ny):
                below = integrate.quad(
                    lambda x: min(max(0.3 * x + 0.013 - y0[j], 0.0), y1[j] - y0[j]),
                    x0[i], x1[i], points=[(y0[j] - 0.013) / 0.3, (y1[j] - 0.013) / 0.3],
                    epsabs=1e-15)[0]
                exact = below / ((x1[i] - x0[i]) * (y1[j] - y0[j]))
                assert _fraction(eps[2, 2, i, j]) == pytest.approx(exact, abs=1e-12)

    def test_samples_on_the_window_edge_average_over_the_clipped_dual_cell(self):
        s = Structure([Layer(y=(-math.inf, 0.03), material=math.sqrt(EPS_IN))], background=1.0)
        g = Grid.uniform(x=(0, 0.4), y=(0, 0.4), step=0.1)
        eps = sample_materials(s, g, LAM).eps
        # Ex at y = 0: dual cell [0, 0.05], 0.03 of it inside; tangential -> arithmetic.
        assert eps[0, 0, 1, 0].real == pytest.approx(0.6 * EPS_IN + 0.4 * EPS_OUT)
        # Ey at x = 0 (low wall), y = 0.05: dual cell [0, 0.05] x [0, 0.1]; normal -> harmonic.
        assert eps[1, 1, 0, 0].real == pytest.approx(1 / (0.3 / EPS_IN + 0.7 / EPS_OUT))

    @settings(max_examples=30, deadline=None)
    @given(st.lists(st.tuples(st.floats(-0.8, 0.8), st.floats(-0.8, 0.8)), min_size=3,
                    max_size=3), st.floats(0.02, 0.2))
    def test_tangential_z_samples_integrate_to_the_shape_area(self, vertices, step):
        # mu_zz sits at Hz, whose dual cells are the grid cells and tile the window; z is
        # tangential to every interface, so mu_zz is the area mean whatever the normal.
        tri = shapely.Polygon(vertices)
        assume(tri.is_valid and tri.area > 1e-3)
        s = Structure([Polygon(vertices=vertices, material=cv.Material(eps=1.0, mu=3.0))],
                      background=1.0)
        g = _uneven_grid(step)
        inside = shapely.intersection(tri, shapely.box(*g.bounds)).area
        assert _magnetic_area(s, g) == pytest.approx(inside, abs=1e-12)


def _uneven_grid(step):
    """Cells of `step` left of x = 0 and 0.7 step right of it; `step` along y."""
    return Grid(x_edges=np.r_[np.arange(-0.6, 0.0, step), np.arange(0.0, 0.6, 0.7 * step), 0.6],
                y_edges=np.r_[np.arange(-0.6, 0.6, step), 0.6])


def _magnetic_area(structure, grid, mu=3.0):
    """Area of the material of permeability mu (the others have mu = 1): mu_zz at Hz is the
    area mean over the grid cells, which tile the window."""
    mu_zz = sample_materials(structure, grid, LAM).mu[2, 2].real
    return np.sum((mu_zz - 1.0) / (mu - 1.0) * grid.cell_areas)


@pytest.mark.filterwarnings("error")
class TestCoordinatesWithinRounding:
    """Vertices within rounding of a grid line or of zero, and cells that only the bounding
    box of an interface reaches: areas stay exact, nothing raises, nothing is NaN."""

    MAGNETIC = cv.Material(eps=1.0, mu=3.0)
    SUBNORMAL = 1.1125369292536007e-308

    @pytest.mark.parametrize("x_tip, area", [(0.5063602462399286, 0.25 * 0.5063602462399286),
                                             (0.75, 0.1875 - 0.0075)])  # cut by x = 0.6
    def test_triangle_on_a_subnormal_y_keeps_its_area(self, x_tip, area):
        # GEOS mis-nodes overlays of subnormal coordinates: a TopologyException for the
        # first triangle, a fifth of a cell row lost for the second.
        vertices = [(0.0, 0.5), (0.0, self.SUBNORMAL), (x_tip, self.SUBNORMAL)]
        s = Structure([Polygon(vertices=vertices, material=self.MAGNETIC)], background=1.0)
        assert _magnetic_area(s, _uneven_grid(0.125)) == pytest.approx(area, abs=1e-12)

    def test_clipping_that_geos_rejects_is_redone_with_rounding(self):
        # The regions painted without moving the subnormal vertices make GEOS raise a
        # TopologyException while clipping the dual cells.
        vertices = [(0.0, 0.5), (0.0, self.SUBNORMAL), (0.5063602462399286, self.SUBNORMAL)]
        s = Structure([Polygon(vertices=vertices, material=self.MAGNETIC)], background=1.0)
        g = _uneven_grid(0.125)
        regions = s.painted_regions(g.bounds)
        _, cut, fractions, _ = _classify(regions, g, (False, True), "area")  # Ey, Hx
        x0, x1, y0, y1 = dual_cell_extents(g, False, True)
        i, j = np.divmod(cut, g.ny)
        clipped = shapely.intersection(shapely.Polygon([(0, 0.5), (0, 0), (0.5063602462399286, 0)]),
                                       shapely.box(x0[i], y0[j], x1[i], y1[j]))
        exact = shapely.area(clipped) / ((x1[i] - x0[i]) * (y1[j] - y0[j]))
        np.testing.assert_allclose(fractions[:, 0], exact, rtol=0, atol=1e-11)

    def test_rectangle_one_ulp_off_the_grid_samples_like_the_aligned_one(self):
        g = Grid.uniform(x=(-0.6, 0.6), y=(-0.5, 0.5), step=0.1)
        rect = Rectangle(center=(0.1, 0.1), size=(0.4, 0.4), material=self.MAGNETIC)
        x0, y0, x1, y1 = g.x_edges[5], g.y_edges[4], g.x_edges[9], g.y_edges[8]
        assert 0 < max(abs(rect.bounds[2] - x1), abs(rect.bounds[3] - y1)) < 1e-15
        aligned = Polygon(vertices=[(x0, y0), (x1, y0), (x1, y1), (x0, y1)],
                          material=self.MAGNETIC)
        off = sample_materials(Structure([rect], background=1.0), g, LAM)
        exact = sample_materials(Structure([aligned], background=1.0), g, LAM)
        # No sliver cut cells: the same samples to the last bit.
        np.testing.assert_array_equal(off.eps, exact.eps)
        np.testing.assert_array_equal(off.mu, exact.mu)
        assert _magnetic_area(Structure([rect], background=1.0), g) == pytest.approx(
            (x1 - x0) * (y1 - y0), abs=1e-12)

    def test_snapping_moves_only_coordinates_within_the_tolerance(self):
        g = Grid.uniform(x=(0, 1), y=(0, 1), step=0.25)
        snap = grid_snapper(g)
        near, far = 0.25 + 1e-11, 0.25 + 1e-8  # 4e-11 and 4e-8 of the step
        moved = snap(np.array([[near, far], [np.nextafter(0.125, 1), 1e-200], [0.6, -1e-300]]))
        np.testing.assert_array_equal(moved, [[0.25, far], [0.125, 0.0], [0.6, 0.0]])

    def test_cells_inside_a_third_material_reached_by_an_interface_box(self):
        # The bounding box of a slanted edge piece reaches cells lying wholly inside another
        # region; their clipped pieces are all empty (they used to come out NaN).
        outer = Polygon(vertices=[(-0.55, -0.45), (0.5, -0.3), (0.2, 0.45)], material=2.0)
        inner = Polygon(vertices=[(-0.5, -0.4), (0.3, -0.1), (0.1, 0.45)],
                        material=self.MAGNETIC)
        s = Structure([outer, inner], background=1.0)
        for step in (0.1, 0.031):
            g = Grid.uniform(x=(-0.6, 0.6), y=(-0.5, 0.5), step=step)
            sm = sample_materials(s, g, LAM)
            assert np.all(np.isfinite(sm.eps)) and np.all(np.isfinite(sm.mu))
            assert _magnetic_area(s, g) == pytest.approx(
                shapely.Polygon(inner.vertices).area, abs=1e-12)


@pytest.fixture(scope="module")
def horizontal():
    """Interface y = 0.03 on a 0.1 grid: dual cells of edge samples [-0.05, 0.05] hold
    0.2 of the upper material, cells of centre samples [0, 0.1] hold 0.7."""
    s = Structure([Layer(y=(0.03, math.inf), material=math.sqrt(EPS_IN))], background=1.0)
    g = Grid.uniform(x=(-0.3, 0.3), y=(-0.3, 0.3), step=0.1)
    return g, sample_materials(s, g, LAM)


class TestPlacement:
    def test_each_component_takes_the_average_its_orientation_needs(self, horizontal):
        g, sm = horizontal
        j_edge = 3   # y = 0.0: Ex, Ez, Hy samples
        j_cell = 3   # y in [0, 0.1]: Ey, Hx, Hz samples
        arith = lambda f: f * EPS_IN + (1 - f) * EPS_OUT
        harm = lambda f: 1 / (f / EPS_IN + (1 - f) / EPS_OUT)
        np.testing.assert_allclose(sm.eps[0, 0, :, j_edge].real, arith(0.2))
        np.testing.assert_allclose(sm.eps[2, 2, :, j_edge].real, arith(0.2))
        np.testing.assert_allclose(sm.eps[1, 1, :, j_cell].real, harm(0.7))
        np.testing.assert_allclose(sm.mu.real, np.broadcast_to(np.eye(3)[:, :, None, None],
                                                                sm.mu.shape))
        assert sm.is_diagonal

    def test_vertical_interface_gives_the_harmonic_mean_to_x(self):
        s = Structure([Rectangle(center=(1.03, 0), size=(2, 4), material=math.sqrt(EPS_IN))],
                      background=1.0)
        g = Grid.uniform(x=(-0.3, 0.3), y=(-0.3, 0.3), step=0.1)
        sm = sample_materials(s, g, LAM)
        # Ex in cell [0, 0.1] holds 0.7 inside: normal -> harmonic; Ey at x = 0 -> 0.2, arithmetic.
        np.testing.assert_allclose(sm.eps[0, 0, 3].real, 1 / (0.7 / EPS_IN + 0.3 / EPS_OUT))
        np.testing.assert_allclose(sm.eps[1, 1, 3].real, 0.2 * EPS_IN + 0.8 * EPS_OUT)

    def test_permeability_is_averaged_at_the_magnetic_positions(self):
        magnetic = cv.Material(eps=2.0, mu=3.0)
        s = Structure([Layer(y=(0.03, math.inf), material=magnetic)], background=1.0)
        g = Grid.uniform(x=(-0.3, 0.3), y=(-0.3, 0.3), step=0.1)
        sm = sample_materials(s, g, LAM)
        # Hy at y = 0 (dual [-0.05, 0.05], 0.2 magnetic) is normal: harmonic.
        np.testing.assert_allclose(sm.mu[1, 1, :, 3].real, 1 / (0.2 / 3.0 + 0.8))
        # Hx and Hz at y in [0, 0.1] (0.7 magnetic) are tangential: arithmetic.
        np.testing.assert_allclose(sm.mu[0, 0, :, 3].real, 0.7 * 3.0 + 0.3)
        np.testing.assert_allclose(sm.mu[2, 2, :, 3].real, 0.7 * 3.0 + 0.3)
        # eps_zz at Ez, y = 0: 0.2 of the magnetic material's eps = 2.
        np.testing.assert_allclose(sm.eps[2, 2, :, 3].real, 0.2 * 2.0 + 0.8)

    def test_later_shapes_paint_over_earlier_ones(self):
        s = Structure([Rectangle(center=(0, 0), size=(1, 1), material=2.0),
                       Rectangle(center=(0, 0), size=(0.4, 0.4), material=3.0)], background=1.0)
        g = Grid.uniform(x=(-0.6, 0.6), y=(-0.6, 0.6), step=0.1)
        eps = sample_materials(s, g, LAM).eps[2, 2].real
        X, Y = g.positions("ez")
        np.testing.assert_array_equal(eps[(abs(X) < 0.15) & (abs(Y) < 0.15)], 9.0)
        np.testing.assert_array_equal(eps[(abs(X) > 0.25) & (abs(X) < 0.45) & (abs(Y) < 0.45)],
                                      4.0)

    def test_background_material_shared_with_an_early_shape(self):
        # The background shares its material with the last shape; the points no shape
        # covers belong to it.
        s = Structure([Rectangle(center=(-0.3, 0), size=(0.2, 0.2), material=1.5),
                       Rectangle(center=(0.0, 0), size=(0.2, 0.2), material=2.0),
                       Rectangle(center=(0.3, 0), size=(0.2, 0.2), material=1.2)],
                      background=1.2)
        g = Grid.uniform(x=(-0.6, 0.6), y=(-0.4, 0.4), step=0.1)
        eps = sample_materials(s, g, LAM).eps[2, 2].real
        X, Y = g.positions("ez")
        far = (np.abs(Y) > 0.15) | (np.abs(X) > 0.45)
        np.testing.assert_allclose(eps[far], 1.44)


def _laminate(eps_a, eps_b, f_b, normal_axis):
    """Effective tensor of a laminate from the interface conditions: the normal D and the
    tangential E are the same in both layers; <D> = eps <E> for three independent fields."""
    E_avg, D_avg = [], []
    for c in np.eye(3):
        fields = []
        for eps in (eps_a, eps_b):
            e = c.astype(complex)
            n = normal_axis
            others = [k for k in range(3) if k != n]
            # c holds (tangential E, normal D) in the slots of the axes.
            e[n] = (c[n] - eps[n, others] @ c[others]) / eps[n, n]
            fields.append((e, eps @ e))
        E_avg.append((1 - f_b) * fields[0][0] + f_b * fields[1][0])
        D_avg.append((1 - f_b) * fields[0][1] + f_b * fields[1][1])
    return np.array(D_avg).T @ np.linalg.inv(np.array(E_avg).T)


class TestAnisotropicAverage:
    def test_rotated_crystal_on_a_flat_interface_matches_the_laminate_solution(self):
        crystal = materials.lithium_niobate(optic_axis="z").rotated(35, axis="y").rotated(20, "z")
        cover = cv.Material(eps=(2.0, 2.5, 3.0))
        s = Structure([Layer(y=(0.03, math.inf), material=crystal)], background=cover)
        g = Grid.uniform(x=(-0.3, 0.3), y=(-0.3, 0.3), step=0.1)
        sm = sample_materials(s, g, LAM)
        assert not sm.is_diagonal
        ea, eb = cover.eps_tensor(LAM), crystal.eps_tensor(LAM)
        # Rows of eps at E_r: Ex, Ez at edge y = 0 (0.2 crystal), Ey at cell [0, 0.1] (0.7).
        for row, f in ((0, 0.2), (1, 0.7), (2, 0.2)):
            expected = _laminate(ea, eb, f, normal_axis=1)[row]
            np.testing.assert_allclose(sm.eps[row, :, 2, 3], expected, rtol=1e-12)

    def test_uniform_rotated_tensor_is_sampled_unchanged(self):
        crystal = materials.lithium_niobate(optic_axis="z").rotated(40, axis="x")
        s = Structure([Layer(y=(-math.inf, math.inf), material=crystal)], background=1.0)
        g = Grid.uniform(x=(0, 0.3), y=(0, 0.3), step=0.1)
        sm = sample_materials(s, g, LAM)
        expected = np.broadcast_to(crystal.eps_tensor(LAM)[:, :, None, None], sm.eps.shape)
        np.testing.assert_allclose(sm.eps, expected, rtol=1e-14)

    def test_slanted_isotropic_interface_keeps_the_diagonal_of_the_smoothed_tensor(self):
        # Below the line y = x + 0.05, which cuts the square dual cells of Ex at (-0.05, 0)
        # and of Ey at (0, 0.05) along a diagonal: f = 1/2 and n n^T = [[1, -1], [-1, 1]] / 2.
        s = Structure([Polygon(vertices=[(-1, -1), (1, -1), (1, 1.05), (-1, -0.95)],
                               material=2.0)], background=1.0)
        g = Grid.uniform(x=(-0.2, 0.2), y=(-0.2, 0.2), step=0.1)
        full = sample_materials(s, g, LAM, off_diagonal=True)
        diag = sample_materials(s, g, LAM)
        harm, arith = 1 / (0.5 / 4 + 0.5), 2.5
        for row, (i, j) in ((0, (1, 2)), (1, (2, 2))):
            assert diag.eps[row, row, i, j].real == pytest.approx(0.5 * (harm + arith))
            assert full.eps[row, row, i, j].real == pytest.approx(0.5 * (harm + arith))
            assert full.eps[row, 1 - row, i, j].real == pytest.approx(0.5 * (arith - harm))
        assert diag.is_diagonal and not full.is_diagonal

    def test_metal_and_dielectric_cancelling_the_harmonic_mean_fall_back_to_the_plain_mean(self):
        # eps = -2 and +2 in equal parts: <1/eps> = 0 across the interface.
        metal = cv.Material(eps=-2.0)
        s = Structure([Layer(y=(0.05, math.inf), material=metal)], background=cv.Material(eps=2.0))
        g = Grid.uniform(x=(-0.2, 0.2), y=(-0.3, 0.3), step=0.1)
        sm = sample_materials(s, g, LAM)
        assert np.all(np.isfinite(sm.eps))
        # Ey in cells [0, 0.1] is normal to the interface at their middle: plain mean 0.
        np.testing.assert_allclose(sm.eps[1, 1, :, 3], 0.0, atol=1e-15)
        np.testing.assert_allclose(sm.eps[0, 0, :, 3:5].real, [[2.0, -2.0]] * 4)


@pytest.fixture(scope="module")
def case():
    """A substrate, a trapezoid and an ellipse on a non-uniform grid."""
    s = Structure([Layer(y=(-math.inf, 0.013), material=1.44),
                   Polygon(vertices=[(-0.31, 0.013), (0.27, 0.013), (0.2, 0.24),
                                     (-0.22, 0.24)], material=3.48),
                   Ellipse(center=(0.05, 0.31), radii=(0.13, 0.07), material=2.0)],
                  background=1.0)
    g = Grid(x_edges=np.cumsum(np.r_[-0.7, np.linspace(0.03, 0.06, 30)]),
             y_edges=np.cumsum(np.r_[-0.5, np.linspace(0.05, 0.025, 34)]))
    return s, g


class TestSymmetry:
    def test_mirrored_structure_on_the_mirrored_grid_gives_mirrored_samples(self, case):
        s, g = case
        gm = Grid(-g.x_edges[::-1], g.y_edges)
        a = sample_materials(s, g, LAM, off_diagonal=True)
        b = sample_materials(s.mirrored("x"), gm, LAM, off_diagonal=True)
        sign = np.array([[1, -1, -1], [-1, 1, 1], [-1, 1, 1]])  # eps -> M eps M, M = diag(-1,1,1)
        for r in range(3):
            for c in range(3):
                for which in ("eps", "mu"):
                    A, B = getattr(a, which)[r, c], getattr(b, which)[r, c]
                    centred = {"eps": (True, False, False), "mu": (False, True, True)}[which][r]
                    # Centred rows map i -> nx-1-i; rows on edges map i -> nx-i (i >= 1).
                    if centred:
                        np.testing.assert_allclose(B, sign[r, c] * A[::-1], atol=1e-12)
                    else:
                        np.testing.assert_allclose(B[1:], sign[r, c] * A[:0:-1], atol=1e-12)

    def test_transposed_structure_on_the_transposed_grid_swaps_x_and_y(self, case):
        s, g = case
        swap = lambda p: (p[1], p[0])
        t = Structure([
            Polygon(vertices=[swap(v) for v in sh.to_shapely(g.bounds).exterior.coords[:-1]],
                    material=sh.material) for sh in s.shapes], background=1.0)
        gt = Grid(g.y_edges, g.x_edges)
        a = sample_materials(s, g, LAM, off_diagonal=True)
        b = sample_materials(t, gt, LAM, off_diagonal=True)
        perm = [1, 0, 2]
        for r in range(3):
            for c in range(3):
                np.testing.assert_allclose(b.eps[perm[r], perm[c]], a.eps[r, c].T, atol=1e-12)


class TestInterface:
    def test_flat_form_is_the_native_component_order(self):
        s = Structure([Rectangle(center=(0, 0), size=(0.2, 0.2), material=2.0)], background=1.0)
        g = Grid.uniform(x=(-0.2, 0.3), y=(-0.2, 0.2), step=0.1)
        sm = sample_materials(s, g, LAM)
        flat = sm.flat("eps")
        assert len(flat) == 9 and len(flat[4]) == g.nx * g.ny
        p = 2 * g.ny + 1  # cell (2, 1): p = i * ny + j
        assert flat[4][p] == (sm.eps[1, 1, 2, 1].real, sm.eps[1, 1, 2, 1].imag)

    def test_lossy_materials_stay_complex(self):
        s = Structure([Rectangle(center=(0, 0), size=(0.25, 0.25), material=2.0 + 0.1j)],
                      background=1.0)
        sm = sample_materials(s, Grid.uniform(x=(-0.2, 0.2), y=(-0.2, 0.2), step=0.1), LAM)
        assert sm.eps.imag.max() == pytest.approx(((2.0 + 0.1j) ** 2).imag)

    @pytest.mark.parametrize("kwargs, error, match", [
        ({"structure": "strip"}, TypeError, "structure must be a corvane.Structure"),
        ({"grid": (0, 1)}, TypeError, "grid must be a corvane.Grid"),
        ({"wavelength": 1.55e-6}, ValueError, "looks like metres"),
        ({"averaging": "mean"}, ValueError, "averaging must be one of"),
    ])
    def test_bad_arguments(self, kwargs, error, match):
        args = {"structure": cv.strip(), "grid": Grid.uniform(x=(-1, 1), y=(-1, 1), step=0.5),
                "wavelength": LAM}
        averaging = kwargs.pop("averaging", "tensor")
        args.update(kwargs)
        with pytest.raises(error, match=match):
            sample_materials(args["structure"], args["grid"], args["wavelength"],
                             averaging=averaging)


@pytest.mark.parametrize("module", ["materials", "geometry", "grid", "sampling", "budget"])
def test_docstring_examples_run(module):
    import importlib

    result = doctest.testmod(importlib.import_module(f"corvane.{module}"))
    assert result.failed == 0 and result.attempted > 0
