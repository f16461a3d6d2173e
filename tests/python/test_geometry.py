"""Geometry: exact shapes, paint order, interfaces for the grid, mirror planes, builders,
serialisation and the errors at the constructors."""

import math

import pytest
import shapely

import corvane as cv
from corvane import materials
from corvane.geometry import Ellipse, Layer, Polygon, Rectangle, Structure, rib, slot, strip

WINDOW = (-2.0, -2.0, 2.0, 2.0)


class TestShapes:
    def test_rectangle_and_polygon_are_exact(self):
        r = Rectangle(center=(0.1, 0.2), size=(0.5, 0.3), material=3.5)
        assert r.bounds == pytest.approx((-0.15, 0.05, 0.35, 0.35))
        assert r.to_shapely().area == pytest.approx(0.15, rel=1e-15)
        p = Polygon(vertices=[(0, 0), (1, 0), (0.75, 0.5), (0.25, 0.5)], material=2)
        assert p.to_shapely().area == pytest.approx(0.375, rel=1e-15)
        assert isinstance(r.material, cv.Material) and r.material.index(1.55) == 3.5

    @pytest.mark.parametrize("radii", [(1.0, 1.0), (0.3, 0.1), (4.1, 4.1)])
    def test_ellipse_polygon_has_the_exact_area_and_stays_close_to_the_curve(self, radii):
        e = Ellipse(center=(0.3, -0.2), radii=radii, material=1.45)
        g = e.to_shapely()
        assert g.area == pytest.approx(math.pi * radii[0] * radii[1], rel=1e-12)
        # Every vertex within the tolerance of the true curve.
        x, y = shapely.get_coordinates(g).T
        r = ((x - 0.3) / radii[0]) ** 2 + ((y + 0.2) / radii[1]) ** 2
        assert abs(r - 1).max() * max(radii) < 4 * cv.geometry.ELLIPSE_TOLERANCE_UM
        assert e.vertex_count() % 4 == 0

    def test_layer_is_clipped_to_the_window_and_may_be_unbounded(self):
        layer = Layer(y=(-math.inf, 0.5), material=1.45)
        assert layer.to_shapely(WINDOW).bounds == (-2.0, -2.0, 2.0, 0.5)
        assert Layer(y=(3.0, 4.0), material=1.45).to_shapely(WINDOW).is_empty

    @pytest.mark.parametrize("make, match", [
        (lambda: Rectangle(center=(0, 0), size=(0.0, 1), material=2), "size must be two positive"),
        (lambda: Rectangle(center=(0, 0), size=(-1, 1.0), material=2), "size must be two positive"),
        (lambda: Rectangle(center=(0, math.nan), size=(1, 1), material=2), "center must be finite"),
        (lambda: Ellipse(center=(0, 0), radii=(1, 0), material=2), "radii must be two positive"),
        (lambda: Polygon(vertices=[(0, 0), (1, 0)], material=2), "at least 3 points"),
        (lambda: Polygon(vertices=[(0, 0), (1, 1), (1, 0), (0, 1)], material=2), "simple polygon"),
        (lambda: Polygon(vertices=[(0, 0), (1, 0), (2, 0)], material=2), "non-zero area"),
        (lambda: Layer(y=(1.0, 0.0), material=2), "y0 < y1"),
        (lambda: Structure([], background=1.0), "shapes is empty"),
        (lambda: strip(width=-0.5), "width must be a positive length"),
        (lambda: rib(slab_height=0.3, height=0.22), "slab_height .* must be below height"),
        (lambda: strip(sidewall_angle_deg=95), "sidewall_angle_deg"),
    ])
    def test_bad_sizes_raise_value_errors_naming_the_argument(self, make, match):
        with pytest.raises(ValueError, match=match):
            make()

    def test_wrong_types_raise_type_errors(self):
        with pytest.raises(TypeError, match="shapes\\[0\\] must be a Rectangle"):
            Structure(["core"], background=1.0)
        with pytest.raises(TypeError, match="background must be a corvane.Material or a number"):
            Structure([Layer(y=(0, 1), material=2)], background="air")


class TestStructure:
    def test_later_shapes_paint_over_earlier_ones(self):
        low, high = cv.Material(index=2.0), cv.Material(index=3.0)
        s = Structure([Rectangle(center=(0, 0), size=(2, 2), material=low),
                       Rectangle(center=(0.5, 0), size=(1, 1), material=high)], background=1.0)
        regions = dict(s.painted_regions(WINDOW))
        assert regions[high].area == pytest.approx(1.0)
        assert regions[low].area == pytest.approx(3.0)
        assert regions[s.background].area == pytest.approx(12.0)
        assert sum(g.area for g in regions.values()) == pytest.approx(16.0)

    def test_shapes_of_one_material_merge_into_one_region(self):
        s = slot(width=0.25, gap=0.1, height=0.22, core=3.48, cladding=1.44)
        regions = s.painted_regions(WINDOW)
        assert len(regions) == 2
        core = [g for m, g in regions if m == cv.Material(index=3.48)][0]
        assert core.area == pytest.approx(2 * 0.25 * 0.22)

    def test_bounds_interfaces_and_materials(self):
        s = strip(width=0.5, height=0.22, substrate=materials.silica)
        assert s.bounds() == pytest.approx((-0.25, 0.0, 0.25, 0.22))
        xs, ys = s.interfaces()
        assert list(xs) == [-0.25, 0.25] and list(ys) == [0.0, 0.22]
        # Slanted walls: their vertices are not axis-aligned interfaces along x.
        r = rib(width=0.6, height=0.22, slab_height=0.09, sidewall_angle_deg=45)
        assert r.interfaces("aligned")[0].size == 0
        assert list(r.interfaces("aligned")[1]) == [0.0, 0.09, 0.22]
        assert r.interfaces("vertices")[0] == pytest.approx([-0.43, -0.3, 0.3, 0.43])
        assert s.materials() == (materials.silica, materials.silicon)
        assert s.max_index(1.55) == pytest.approx(3.4777, abs=1e-4)
        slab = Structure([Layer(y=(0, 1), material=2)], background=1)
        assert slab.bounds() == (None, 0.0, None, 1.0)

    def test_mirror_planes_of_common_structures(self):
        assert strip().mirror_plane_x() == 0.0
        assert strip().mirror_plane_y() == pytest.approx(0.11)
        assert strip(substrate=1.0, cladding=1.44).mirror_plane_y() is None
        assert rib(sidewall_angle_deg=12).mirror_plane_x() == 0.0
        assert slot().mirror_plane_x() == 0.0
        fibre = Structure([Ellipse(center=(1.0, 2.0), radii=(0.5, 0.3), material=1.46)],
                          background=1.45)
        assert (fibre.mirror_plane_x(), fibre.mirror_plane_y()) == (1.0, 2.0)

    def test_asymmetric_structures_have_no_mirror_plane(self):
        off = Structure([Rectangle(center=(0, 0), size=(1, 1), material=2),
                         Rectangle(center=(0.3, 0.3), size=(0.2, 0.2), material=3)], background=1)
        assert off.mirror_plane_x() is None and off.mirror_plane_y() is None
        # Same outline, but the two halves are different materials.
        halves = Structure([Rectangle(center=(-0.25, 0), size=(0.5, 1), material=2),
                            Rectangle(center=(0.25, 0), size=(0.5, 1), material=3)], background=1)
        assert halves.mirror_plane_x() is None
        tilted = Structure([Rectangle(center=(0, 0), size=(1, 1),
                                      material=materials.lithium_niobate().rotated(20, "z"))],
                           background=1)
        assert tilted.mirror_plane_x() is None

    def test_symmetric_pair_of_different_shapes_is_detected(self):
        pair = Structure([Polygon(vertices=[(-1, 0), (-0.2, 0), (-0.2, 0.5)], material=2),
                          Polygon(vertices=[(1, 0), (0.2, 0), (0.2, 0.5)], material=2)],
                         background=1)
        assert pair.mirror_plane_x() == pytest.approx(0.0)

    def test_mirrored_structure_is_the_reflected_geometry(self):
        s = rib(sidewall_angle_deg=10, substrate=1.44)
        m = s.mirrored("y", about=0.5)
        for (ma, ga), (mb, gb) in zip(s.painted_regions(WINDOW),
                                      m.painted_regions((-2.0, -1.0, 2.0, 3.0))):
            assert ma == mb
            flipped = shapely.affinity.scale(ga, 1.0, -1.0, origin=(0.0, 0.5))
            assert shapely.symmetric_difference(flipped, gb).area < 1e-12

    def test_round_trip(self):
        s = Structure([Layer(y=(-math.inf, 0), material=materials.silica),
                       Polygon(vertices=[(0, 0), (1, 0), (0.5, 1)], material=3.2 + 0.01j),
                       Ellipse(center=(0, 1), radii=(0.2, 0.3), material=materials.silicon)],
                      background=materials.air)
        assert Structure.from_dict(s.to_dict()) == s


class TestBuilders:
    def test_strip_is_centred_with_its_bottom_on_zero(self):
        s = strip(width=0.45, height=0.25, substrate=1.44)
        core = s.shapes[-1]
        assert core.bounds == pytest.approx((-0.225, 0.0, 0.225, 0.25))
        assert s.shapes[0] == Layer(y=(-math.inf, 0.0), material=1.44)

    def test_rib_side_walls_lean_out_by_their_angle(self):
        r = rib(width=0.6, height=0.22, slab_height=0.07, sidewall_angle_deg=10)
        slab, ridge = r.shapes
        assert slab.y == (0.0, 0.07)
        foot = 0.15 * math.tan(math.radians(10))
        assert ridge.bounds == pytest.approx((-0.3 - foot, 0.07, 0.3 + foot, 0.22))
        assert ridge.to_shapely().area == pytest.approx(0.15 * (0.6 + foot))

    def test_slot_rails_leave_the_gap_open(self):
        s = slot(width=0.2, gap=0.08, height=0.25)
        left, right = s.shapes
        assert left.bounds == pytest.approx((-0.24, 0.0, -0.04, 0.25))
        assert right.bounds == pytest.approx((0.04, 0.0, 0.24, 0.25))
