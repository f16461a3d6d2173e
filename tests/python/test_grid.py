"""Grids: the staggered positions and native steps, the automatic grid (edges on
interfaces, bounded growth, symmetry), derived grids and the errors."""

import math
import warnings

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import corvane as cv
from corvane.grid import VERTEX_MERGE, Grid
from corvane.geometry import Ellipse, Layer, Polygon, Rectangle, Structure, rib, strip


class TestStaggering:
    def test_positions_follow_the_yee_placement(self):
        g = Grid(x_edges=[0.0, 1.0, 3.0], y_edges=[0.0, 2.0, 3.0, 4.0])
        xc, yc = [0.5, 2.0], [1.0, 2.5, 3.5]
        xe, ye = [0.0, 1.0], [0.0, 2.0, 3.0]
        expected = {"ex": (xc, ye), "ey": (xe, yc), "ez": (xe, ye),
                    "hx": (xe, yc), "hy": (xc, ye), "hz": (xc, yc)}
        for component, (xs, ys) in expected.items():
            X, Y = g.positions(component)
            assert X.shape == Y.shape == (2, 3)
            np.testing.assert_array_equal(X[:, 0], xs)
            np.testing.assert_array_equal(Y[0], ys)

    def test_native_steps_and_areas(self):
        g = Grid(x_edges=[0.0, 0.1, 0.3, 0.7], y_edges=[-1.0, 1.0])
        np.testing.assert_allclose(g.dlf_x, [0.1, 0.2, 0.4])
        np.testing.assert_allclose(g.dlb_x, [0.1, 0.15, 0.3])
        np.testing.assert_allclose(g.dlf_y, [2.0])
        np.testing.assert_allclose(g.dlb_y, [2.0])
        np.testing.assert_allclose(g.cell_areas, [[0.2], [0.4], [0.8]])
        assert g.bounds == (0.0, -1.0, 0.7, 1.0)

    def test_grid_is_an_immutable_value(self):
        g = Grid.uniform(x=(0, 1), y=(0, 2), step=0.5)
        assert g == Grid(np.linspace(0, 1, 3), np.linspace(0, 2, 5))
        assert hash(g) == hash(Grid.from_dict(g.to_dict()))
        with pytest.raises(ValueError):
            g.x_edges[0] = 5.0
        with pytest.raises(AttributeError):
            g.nx = 4


class TestAuto:
    @pytest.mark.parametrize("step", [0.02, 0.007])
    def test_edges_fall_on_every_interface_and_cells_grow_smoothly(self, step):
        s = rib(width=0.6, height=0.22, slab_height=0.09, sidewall_angle_deg=8, substrate=1.44)
        g = Grid.auto(s, 1.55, step=step, max_ratio=1.3)
        xs, ys = s.interfaces()
        assert np.all(np.min(np.abs(g.x_edges[:, None] - xs[None]), axis=0) < 1e-12)
        assert np.all(np.min(np.abs(g.y_edges[:, None] - ys[None]), axis=0) < 1e-12)
        for d in (g.dlf_x, g.dlf_y):
            assert np.max(np.maximum(d[1:] / d[:-1], d[:-1] / d[1:])) <= 1.3 + 1e-9
        # Cells over the ridge are no larger than the step.
        inside = np.abs(g.x_centers) < 0.3
        assert g.dlf_x[inside].max() <= step * (1 + 1e-9)

    def test_window_is_padded_by_the_margin(self):
        g = Grid.auto(strip(), 1.55, step=0.02, margin=(1.0, 0.5))
        assert g.bounds == pytest.approx((-1.25, -0.5, 1.25, 0.72))
        default = Grid.auto(strip(), 1.55, step=0.02)
        assert default.bounds == pytest.approx((-0.25 - 0.7 * 1.55, -0.7 * 1.55,
                                                0.25 + 0.7 * 1.55, 0.22 + 0.7 * 1.55))

    def test_cells_grow_up_to_max_step_in_the_cladding(self):
        g = Grid.auto(strip(), 1.55, step=0.01, margin=2.0, max_step=0.1)
        assert g.dlf_x.max() == pytest.approx(0.1, rel=0.05)
        assert g.nx < 0.5 / 0.01 + 2 * 2.0 / 0.1 + 30

    def test_tiny_features_get_cells_no_larger_than_themselves(self):
        s = Structure([Rectangle(center=(0, 0), size=(0.5, 0.5), material=3),
                       Rectangle(center=(0.2515, 0), size=(0.003, 0.2), material=2)],
                      background=1)
        g = Grid.auto(s, 1.55, step=0.02)
        k = np.searchsorted(g.x_edges, 0.25)
        assert g.x_edges[k] == pytest.approx(0.25) and g.dlf_x[k] == pytest.approx(0.003)
        assert g.dlf_x[k - 1] <= 0.003 * 1.3 and g.dlf_x[k + 1] <= 0.003 * 1.3

    def test_mirror_option_gives_an_exactly_symmetric_grid_with_an_edge_on_the_plane(self):
        s = Structure([Ellipse(center=(0.3, -0.1), radii=(0.4, 0.25), material=2)],
                      background=1.44)
        g = Grid.auto(s, 1.55, step=0.03, mirror_x=0.3, mirror_y=-0.1)
        np.testing.assert_allclose(g.x_edges - 0.3, -(g.x_edges[::-1] - 0.3), atol=1e-15)
        np.testing.assert_allclose(g.y_edges + 0.1, -(g.y_edges[::-1] + 0.1), atol=1e-15)
        half = g.half(0.3, side="right")
        assert half.x_edges[0] == 0.3 and half.nx == g.nx // 2

    def test_structures_with_a_mirror_plane_get_a_symmetric_grid_by_default(self):
        g = Grid.auto(strip(substrate=1.44, cladding=1.0), 1.55)
        assert 0.0 in g.x_edges
        np.testing.assert_allclose(g.x_edges, -g.x_edges[::-1], atol=1e-15)
        assert g.dlf_x.max() <= 1.55 / 10 + 1e-9 and g.dlf_x.min() < 1.55 / (20 * 3.47)
        assert 0.0 not in Grid.auto(strip(), 1.55, step=0.03, mirror_x=None).x_edges

    def test_slab_of_layers_gets_a_single_cell_along_x(self):
        s = Structure([Layer(y=(-math.inf, 0), material=1.44), Layer(y=(0, 0.3), material=2)],
                      background=1)
        g = Grid.auto(s, 1.55, step=0.01)
        assert g.nx == 1 and g.dlf_x[0] == pytest.approx(0.01)


class TestRobustness:
    @settings(max_examples=40)
    @given(cx=st.integers(-1000, 1000), cy=st.integers(-1000, 1000),
           rx=st.integers(20, 600), ry=st.integers(20, 600), box=st.booleans())
    def test_shapes_anywhere_give_no_sliver_cells_and_finite_materials(self, cx, cy, rx, ry,
                                                                        box):
        # Centres and radii on a 1 nm lattice: their sums round, so the midpoint of an
        # ellipse's bounds misses its centre by a rounding step.
        c, r = (cx * 1e-3, cy * 1e-3), (rx * 1e-3, ry * 1e-3)
        shapes = [Ellipse(center=c, radii=r, material=3.48)]
        if box:
            shapes.insert(0, Rectangle(center=c, size=(2 * r[0], r[1]), material=2.0))
        s = Structure(shapes, background=1.444)
        g = Grid.auto(s, 1.55, step=0.03)
        assert min(g.dlf_x.min(), g.dlf_y.min()) > 1e-3 * 0.03
        assert (s.mirror_plane_x(), s.mirror_plane_y()) == c
        for mirror, edges in ((s.mirror_plane_x(), g.x_edges), (s.mirror_plane_y(), g.y_edges)):
            assert mirror in edges
            np.testing.assert_allclose(edges - mirror, (mirror - edges)[::-1], atol=1e-14)
        assert Grid.auto_size(s, 1.55, step=0.03).shape == g.shape
        assert np.all(np.isfinite(cv.sample_materials(s, g, 1.55).eps))

    def test_a_finely_sampled_curve_costs_cells_by_the_step_not_by_its_vertices(self):
        t = 2 * np.pi * np.arange(20000) / 20000
        circle = Structure([Polygon(vertices=np.column_stack([np.cos(t), np.sin(t)]),
                                    material=3.48)], background=1.444)
        ellipse = Structure([Ellipse(center=(0, 0), radii=(1, 1), material=3.48)],
                            background=1.444)
        g, reference = Grid.auto(circle, 1.55, step=0.02), Grid.auto(ellipse, 1.55, step=0.02)
        assert g.nx <= 1.1 * reference.nx and g.ny <= 1.1 * reference.ny
        assert g.dlf_x.min() >= 0.02 * VERTEX_MERGE / 2

    def test_cell_counts_follow_the_size_function(self):
        # Cells grow by 1.3 at most from a 1e-8 um sliver: about 2 ln(2e6) / ln(1.3) more.
        plain = Structure([Rectangle(center=(0, 0.11), size=(0.5, 0.22), material=3.48)],
                          background=1.444)
        sliver = Structure(list(plain.shapes) + [
            Rectangle(center=(0.35 + 5e-9, 0.11), size=(1e-8, 0.22), material=3.48)],
            background=1.444)
        g = Grid.auto(sliver, 1.55, step=0.02)
        assert Grid.auto(plain, 1.55, step=0.02).nx < g.nx < Grid.auto(plain, 1.55,
                                                                   step=0.02).nx + 120
        assert np.any(np.isclose(g.x_edges, 0.35 + 1e-8, rtol=0, atol=1e-15))
        # At a long wavelength the cladding cells grow up to a tenth of it in ~60 steps.
        assert Grid.auto(strip(), 1e6, step=0.02).nx < 200

    def test_far_from_the_origin_the_grid_is_the_shifted_grid_or_refused(self):
        def at(x0):
            return Structure([Rectangle(center=(x0, 0.11), size=(0.5, 0.22), material=3.48)],
                             background=1.444)
        near, far = Grid.auto(at(0.0), 1.55, step=0.02), Grid.auto(at(1e4), 1.55, step=0.02)
        np.testing.assert_allclose(far.dlf_x, near.dlf_x, rtol=1e-8)
        with pytest.raises(ValueError, match="move the structure near the origin"):
            Grid.auto(at(1e14), 1.55, step=0.02)

    def test_a_step_that_cannot_resolve_the_structure_warns(self):
        with pytest.warns(cv.ResolutionWarning, match="step=10 um cannot resolve"):
            Grid.auto(strip(), 1.55, step=10)
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            Grid.auto(strip(), 1.55)


class TestDerived:
    def test_extended_adds_equal_cells_covering_the_length(self):
        g = Grid.uniform(x=(0, 1), y=(0, 1), step=0.1).extended(left=0.25, top=0.5, step=0.1)
        assert g.bounds == pytest.approx((-0.25, 0.0, 1.0, 1.5))
        assert g.nx == 13 and g.ny == 15
        np.testing.assert_allclose(g.dlf_x[:3], 0.25 / 3)

    def test_half_keeps_one_side_of_an_edge(self):
        g = Grid.uniform(x=(-1, 1), y=(-1, 1), step=0.25)
        assert g.half(0.0).x_edges[0] == 0.0
        assert g.half(0.5, side="top").y_edges.tolist() == [0.5, 0.75, 1.0]
        assert g.half(0.0, side="left").x_edges[-1] == 0.0
        with pytest.raises(ValueError, match="must be an interior cell edge"):
            g.half(0.1)


class TestErrors:
    @pytest.mark.parametrize("make, match", [
        (lambda: Grid([0.0], [0.0, 1.0]), "x_edges needs at least 2 edges"),
        (lambda: Grid([0.0, 1.0, 1.0], [0.0, 1.0]), "x_edges must be strictly increasing"),
        (lambda: Grid([0.0, 1.0], [0.0, math.inf]), "y_edges must be finite"),
        (lambda: Grid.uniform(x=(0, 1), y=(0, 1), step=0.0), "step must be a positive length"),
        (lambda: Grid.uniform(x=(1, 0), y=(0, 1), step=0.1), "x must be .start, stop."),
        (lambda: Grid.auto(strip(), 1.55e-6, step=0.02), "looks like metres"),
        (lambda: Grid.auto(strip(), 1.55, step=-0.02), "step must be a positive length"),
        (lambda: Grid.auto(strip(), 1.55, step=0.02, max_ratio=0.5), "max_ratio must be"),
        (lambda: Grid.auto(strip(), 1.55, step=0.02, mirror_x=5.0), "mirror_x=5.0 must lie"),
        (lambda: Grid.uniform(x=(0, 1), y=(0, 1), step=0.1).extended(left=-1), "left must be"),
        (lambda: Grid.uniform(x=(0, 1), y=(0, 1), step=0.1).positions("e"), "component must"),
    ])
    def test_bad_arguments_name_themselves(self, make, match):
        with pytest.raises(ValueError, match=match):
            make()
