"""Cross-section geometry: shapes painted in order over a background material.

Lengths are in micrometres, x to the right, y up, propagation along +z. Every shape is an
immutable value holding its `material` (a `Material`, or a number meaning a refractive
index). A `Structure` paints its shapes in order over its background: later shapes paint
over earlier ones.

Example:
    >>> from corvane.geometry import Rectangle, Layer, Structure
    >>> s = Structure([Layer(y=(float("-inf"), 0), material=1.45),
    ...                Rectangle(center=(0, 0.11), size=(0.5, 0.22), material=3.48)],
    ...               background=1.0)
    >>> s.bounds()
    (-0.25, 0.0, 0.25, 0.22)
"""

from __future__ import annotations

import math
import numbers
from dataclasses import dataclass
from typing import Sequence, Union

import numpy as np
import shapely
import shapely.affinity

from corvane import plot
from corvane.materials import Material, as_material, silica, silicon

#: Largest distance (micrometres) between an ellipse and the polygon that stands for it.
ELLIPSE_TOLERANCE_UM = 1e-5


def _polygonal(g: shapely.Geometry) -> shapely.Geometry:
    """g made valid, without the zero-area lines and points that overlays and moved
    vertices can leave behind."""
    g = shapely.make_valid(g) if not g.is_valid else g
    return shapely.union_all([p for p in shapely.get_parts(g)
                              if isinstance(p, (shapely.Polygon, shapely.MultiPolygon))])


def _point(value, name: str) -> tuple[float, float]:
    try:
        x, y = (float(v) for v in value)
    except (TypeError, ValueError):
        raise TypeError(f"{name} must be a pair (x, y) of numbers in micrometres, got {value!r}")
    if not (math.isfinite(x) and math.isfinite(y)):
        raise ValueError(f"{name} must be finite (micrometres), got {value!r}")
    return (x, y)


def _positive_pair(value, name: str) -> tuple[float, float]:
    a, b = _point(value, name)
    if not (a > 0 and b > 0):
        raise ValueError(f"{name} must be two positive lengths in micrometres, got {value!r}")
    return (a, b)


def _set(obj, **values):
    for k, v in values.items():
        object.__setattr__(obj, k, v)


def _mirror_xy(p: tuple[float, float], axis: str, about: float) -> tuple[float, float]:
    _check_axis(axis)
    return (2 * about - p[0], p[1]) if axis == "x" else (p[0], 2 * about - p[1])


def _check_axis(axis: str) -> None:
    if axis not in ("x", "y"):
        raise ValueError(f"axis must be 'x' (flip x) or 'y' (flip y), got {axis!r}")


@dataclass(frozen=True)
class Rectangle:
    """An axis-aligned rectangle: `center` (x, y) and `size` (width, height) in micrometres.

    Example:
        >>> core = Rectangle(center=(0, 0.11), size=(0.5, 0.22), material=3.48)
    """

    center: tuple[float, float]
    size: tuple[float, float]
    material: Material

    def __post_init__(self):
        _set(self, center=_point(self.center, "center"), size=_positive_pair(self.size, "size"),
             material=as_material(self.material))

    @property
    def bounds(self) -> tuple[float, float, float, float]:
        """(xmin, ymin, xmax, ymax) in micrometres."""
        (cx, cy), (w, h) = self.center, self.size
        return (cx - w / 2, cy - h / 2, cx + w / 2, cy + h / 2)

    def to_shapely(self, window_bounds=None) -> shapely.Polygon:
        """The exact shapely polygon (the window is not needed for a finite shape)."""
        return shapely.box(*self.bounds)

    def interface_coordinates(self) -> tuple[list[float], list[float]]:
        """x of the vertical and y of the horizontal interfaces (micrometres)."""
        x0, y0, x1, y1 = self.bounds
        return [x0, x1], [y0, y1]

    def vertex_coordinates(self) -> tuple[list[float], list[float]]:
        """x and y of the vertices off the axis-aligned interfaces (micrometres)."""
        return [], []

    def mirrored(self, axis: str, about: float = 0.0) -> "Rectangle":
        """The rectangle reflected in x = about (axis="x") or y = about (axis="y")."""
        return Rectangle(center=_mirror_xy(self.center, axis, about), size=self.size,
                         material=self.material.mirrored(axis))

    def to_dict(self) -> dict:
        return {"type": "rectangle", "center": list(self.center), "size": list(self.size),
                "material": self.material.to_dict()}


@dataclass(frozen=True)
class Polygon:
    """A simple polygon from its vertices (x, y) in micrometres, in either orientation.

    Example:
        >>> trapezoid = Polygon(vertices=[(-0.3, 0), (0.3, 0), (0.25, 0.22), (-0.25, 0.22)],
        ...                     material=3.48)
    """

    vertices: tuple[tuple[float, float], ...]
    material: Material

    def __post_init__(self):
        try:
            vertices = tuple(_point(v, f"vertices[{k}]") for k, v in enumerate(self.vertices))
        except TypeError as err:
            raise TypeError(f"vertices must be a sequence of (x, y) pairs in micrometres: {err}")
        if len(vertices) < 3:
            raise ValueError(f"vertices must hold at least 3 points, got {len(vertices)}")
        poly = shapely.Polygon(vertices)
        if not poly.is_valid or not poly.area > 0:
            raise ValueError(
                "vertices must describe a simple polygon of non-zero area (no self-crossing "
                f"edges): {shapely.is_valid_reason(poly)}"
            )
        _set(self, vertices=vertices, material=as_material(self.material))

    @property
    def bounds(self) -> tuple[float, float, float, float]:
        xs = [v[0] for v in self.vertices]
        ys = [v[1] for v in self.vertices]
        return (min(xs), min(ys), max(xs), max(ys))

    def to_shapely(self, window_bounds=None) -> shapely.Polygon:
        return shapely.Polygon(self.vertices)

    def interface_coordinates(self) -> tuple[list[float], list[float]]:
        v = np.asarray(self.vertices)
        w = np.roll(v, -1, axis=0)
        vertical, horizontal = v[:, 0] == w[:, 0], v[:, 1] == w[:, 1]
        return v[vertical, 0].tolist(), v[horizontal, 1].tolist()

    def vertex_coordinates(self) -> tuple[list[float], list[float]]:
        v = np.asarray(self.vertices)
        after, before = np.roll(v, -1, axis=0), np.roll(v, 1, axis=0)
        vertical = (v[:, 0] == after[:, 0]) | (v[:, 0] == before[:, 0])
        horizontal = (v[:, 1] == after[:, 1]) | (v[:, 1] == before[:, 1])
        return v[~vertical, 0].tolist(), v[~horizontal, 1].tolist()

    def mirrored(self, axis: str, about: float = 0.0) -> "Polygon":
        return Polygon(vertices=[_mirror_xy(v, axis, about) for v in reversed(self.vertices)],
                       material=self.material.mirrored(axis))

    def to_dict(self) -> dict:
        return {"type": "polygon", "vertices": [list(v) for v in self.vertices],
                "material": self.material.to_dict()}


@dataclass(frozen=True)
class Ellipse:
    """An axis-aligned ellipse: `center` (x, y) and `radii` (rx, ry) in micrometres.

    It is clipped as a polygon whose vertex count is a multiple of 4 (so it keeps the
    mirror symmetries of the ellipse), scaled to the exact area, and within
    `ELLIPSE_TOLERANCE_UM` of the true curve.

    Example:
        >>> fibre_core = Ellipse(center=(0, 0), radii=(4.1, 4.1), material=1.4504)
    """

    center: tuple[float, float]
    radii: tuple[float, float]
    material: Material

    def __post_init__(self):
        _set(self, center=_point(self.center, "center"),
             radii=_positive_pair(self.radii, "radii"), material=as_material(self.material))

    @property
    def bounds(self) -> tuple[float, float, float, float]:
        (cx, cy), (rx, ry) = self.center, self.radii
        return (cx - rx, cy - ry, cx + rx, cy + ry)

    def vertex_count(self) -> int:
        r = max(self.radii)
        n = math.pi * math.sqrt(r / (2 * ELLIPSE_TOLERANCE_UM))
        return int(min(max(4 * math.ceil(n / 4), 32), 8192))

    def to_shapely(self, window_bounds=None) -> shapely.Polygon:
        n = self.vertex_count()
        t = 2 * math.pi * np.arange(n) / n
        # Scale the inscribed polygon to the ellipse's area: (n/2) sin(2 pi/n) -> pi.
        scale = math.sqrt(math.pi / (0.5 * n * math.sin(2 * math.pi / n)))
        (cx, cy), (rx, ry) = self.center, self.radii
        c, s = np.cos(t), np.sin(t)
        # Exact zeros at the quarter turns keep the polygon mirror symmetric bit for bit.
        c[np.arange(n) % (n // 4) == 0] = np.round(c[np.arange(n) % (n // 4) == 0])
        s[np.arange(n) % (n // 4) == 0] = np.round(s[np.arange(n) % (n // 4) == 0])
        return shapely.Polygon(np.column_stack([cx + scale * rx * c, cy + scale * ry * s]))

    def interface_coordinates(self) -> tuple[list[float], list[float]]:
        return [], []

    def vertex_coordinates(self) -> tuple[list[float], list[float]]:
        x0, y0, x1, y1 = self.bounds
        return [x0, self.center[0], x1], [y0, self.center[1], y1]

    def mirrored(self, axis: str, about: float = 0.0) -> "Ellipse":
        return Ellipse(center=_mirror_xy(self.center, axis, about), radii=self.radii,
                       material=self.material.mirrored(axis))

    def to_dict(self) -> dict:
        return {"type": "ellipse", "center": list(self.center), "radii": list(self.radii),
                "material": self.material.to_dict()}


@dataclass(frozen=True)
class Layer:
    """A layer infinite in x between y[0] and y[1] (micrometres; either may be infinite).

    Example:
        >>> substrate = Layer(y=(float("-inf"), 0.0), material=1.444)
    """

    y: tuple[float, float]
    material: Material

    def __post_init__(self):
        try:
            y0, y1 = (float(v) for v in self.y)
        except (TypeError, ValueError):
            raise TypeError(f"y must be a pair (y0, y1) in micrometres, got {self.y!r}")
        if math.isnan(y0) or math.isnan(y1) or not y0 < y1:
            raise ValueError(f"y must be (y0, y1) with y0 < y1 in micrometres, got {self.y!r}")
        _set(self, y=(y0, y1), material=as_material(self.material))

    @property
    def bounds(self) -> tuple[float, float, float, float]:
        return (-math.inf, self.y[0], math.inf, self.y[1])

    def to_shapely(self, window_bounds) -> shapely.Polygon:
        """The part of the layer inside window_bounds (xmin, ymin, xmax, ymax)."""
        wx0, wy0, wx1, wy1 = window_bounds
        y0, y1 = max(self.y[0], wy0), min(self.y[1], wy1)
        if not y0 < y1:
            return shapely.Polygon()
        return shapely.box(wx0, y0, wx1, y1)

    def interface_coordinates(self) -> tuple[list[float], list[float]]:
        return [], [v for v in self.y if math.isfinite(v)]

    def vertex_coordinates(self) -> tuple[list[float], list[float]]:
        return [], []

    def mirrored(self, axis: str, about: float = 0.0) -> "Layer":
        _check_axis(axis)
        y = self.y if axis == "x" else (2 * about - self.y[1], 2 * about - self.y[0])
        return Layer(y=y, material=self.material.mirrored(axis))

    def to_dict(self) -> dict:
        return {"type": "layer", "y": [_json_float(v) for v in self.y],
                "material": self.material.to_dict()}


def _snapped(c: float, coordinates: np.ndarray, length: float) -> float:
    """c moved onto the nearest shape coordinate within rounding: the midpoint of
    (cy - ry, cy + ry) can differ from cy by one rounding step."""
    if coordinates.size:
        near = coordinates[np.argmin(np.abs(coordinates - c))]
        if abs(near - c) <= 1e-12 * length + 4 * math.ulp(abs(c)):
            return float(near)
    return c


def _same_vertices(a: shapely.Geometry, b: shapely.Geometry, tol: float) -> bool:
    """True when a and b have the same vertices to within `tol` (rounded to one lattice):
    a sufficient test for regions of one painting, O(N log N), where the overlay that
    decides the other cases costs seconds on curves of 1e5 vertices."""
    # Sets, not lists: each ring repeats its first vertex, which differs between the two.
    ka = np.unique(np.round(shapely.get_coordinates(a) / tol), axis=0)
    kb = np.unique(np.round(shapely.get_coordinates(b) / tol), axis=0)
    return bool(np.array_equal(ka, kb)) and abs(a.length - b.length) <= tol * a.length


def _json_float(v: float):
    return v if math.isfinite(v) else ("inf" if v > 0 else "-inf")


Shape = Union[Rectangle, Polygon, Ellipse, Layer]
_SHAPE_TYPES = {"rectangle": Rectangle, "polygon": Polygon, "ellipse": Ellipse, "layer": Layer}


def shape_from_dict(d: dict) -> Shape:
    """Inverse of the shapes' `to_dict`."""
    kind = d.get("type")
    if kind not in _SHAPE_TYPES:
        raise ValueError(f"unknown shape type {kind!r}; known: {sorted(_SHAPE_TYPES)}")
    args = {k: v for k, v in d.items() if k != "type"}
    args["material"] = Material.from_dict(args["material"])
    if kind == "layer":
        args["y"] = tuple(float(v) for v in args["y"])
    return _SHAPE_TYPES[kind](**args)


@dataclass(frozen=True)
class Structure:
    """Shapes painted in order (later over earlier) over a `background` material.

    Example:
        >>> s = Structure([Rectangle(center=(0, 0.11), size=(0.5, 0.22), material=3.48)],
        ...               background=1.444)
        >>> s.mirror_plane_x()
        0.0
    """

    shapes: tuple[Shape, ...]
    background: Material = 1.0

    def __post_init__(self):
        if isinstance(self.shapes, (Rectangle, Polygon, Ellipse, Layer)):
            shapes = (self.shapes,)
        else:
            try:
                shapes = tuple(self.shapes)
            except TypeError:
                raise TypeError(f"shapes must be a sequence of shapes, got {self.shapes!r}")
        if not shapes:
            raise ValueError(
                "shapes is empty: a Structure needs at least one shape (for a uniform medium "
                "use a Layer covering the window)"
            )
        for k, s in enumerate(shapes):
            if not isinstance(s, (Rectangle, Polygon, Ellipse, Layer)):
                raise TypeError(
                    f"shapes[{k}] must be a Rectangle, Polygon, Ellipse or Layer, got {s!r}"
                )
        _set(self, shapes=shapes, background=as_material(self.background, "background"))

    def bounds(self) -> tuple:
        """(xmin, ymin, xmax, ymax) in micrometres of the finite extents of the shapes.

        Layers contribute only their finite y edges; an axis without any finite extent
        gives None for both of its values.
        """
        xs, ys = [], []
        for s in self.shapes:
            x0, y0, x1, y1 = s.bounds
            xs += [v for v in (x0, x1) if math.isfinite(v)]
            ys += [v for v in (y0, y1) if math.isfinite(v)]
        return (min(xs, default=None), min(ys, default=None),
                max(xs, default=None), max(ys, default=None))

    def materials(self) -> tuple[Material, ...]:
        """The distinct materials: the background first, then the shapes' in order."""
        out: list[Material] = [self.background]
        for s in self.shapes:
            if s.material not in out:
                out.append(s.material)
        return tuple(out)

    def max_index(self, wavelength: float) -> float:
        """Largest real refractive index of all materials at a wavelength in micrometres."""
        return max(m.index(wavelength).real for m in self.materials())

    @property
    def is_diagonal(self) -> bool:
        """True when every material tensor is diagonal in the grid axes."""
        return all(m.is_diagonal for m in self.materials())

    def interfaces(self, kind: str = "all") -> tuple[np.ndarray, np.ndarray]:
        """Sorted distinct x and y coordinates (micrometres) where the automatic grid puts
        cell edges. kind "aligned": vertical and horizontal interfaces (rectangle and layer
        sides, axis-aligned polygon edges), which the grid keeps exactly; "vertices": the
        other polygon vertices and the ellipse extremes and centres, which the grid merges
        when closer than a fraction of its step; "all": both."""
        if kind not in ("all", "aligned", "vertices"):
            raise ValueError(f"kind must be 'all', 'aligned' or 'vertices', got {kind!r}")
        xs, ys = [], []
        for s in self.shapes:
            if kind != "vertices":
                sx, sy = s.interface_coordinates()
                xs += sx
                ys += sy
            if kind != "aligned":
                sx, sy = s.vertex_coordinates()
                xs += sx
                ys += sy
        return np.unique(np.asarray(xs, dtype=float)), np.unique(np.asarray(ys, dtype=float))

    def painted_regions(self, window_bounds, *, snap=None
                        ) -> list[tuple[Material, shapely.Geometry]]:
        """The visible region of each distinct material inside window_bounds (xmin, ymin,
        xmax, ymax): shapes painted in order over the background, one geometry per material,
        the material of the last-painted shape first and the background's material last.
        Regions of zero area are left out.

        snap: optional function mapping an (n, 2) array of vertex coordinates to their
        replacements, applied to each shape before painting (the sampler moves vertices
        lying within rounding of a grid line onto it)."""
        window = shapely.box(*window_bounds)
        covered = shapely.Polygon()
        parts: dict[Material, list] = {}
        for s in reversed(self.shapes):
            shape = s.to_shapely(window_bounds)
            if snap is not None:
                moved = shapely.transform(shape, snap)
                shape = moved if moved.is_valid else _polygonal(moved)
            g = shapely.intersection(shape, window)
            visible = shapely.difference(g, covered)
            covered = shapely.union(covered, g)
            parts.setdefault(s.material, []).append(visible)
        # The background's material goes last, whatever shapes share it.
        parts[self.background] = parts.pop(self.background, []) + [
            shapely.difference(window, covered)]
        regions = []
        for m, geoms in parts.items():
            region = _polygonal(shapely.union_all(geoms))
            if region.area > 0:
                regions.append((m, region))
        return regions

    def _mirror_plane(self, axis: str, tol: float) -> float | None:
        b = self.bounds()
        lo, hi = (b[0], b[2]) if axis == "x" else (b[1], b[3])
        if lo is None:
            return None
        c = _snapped(0.5 * (lo + hi), self.interfaces()[0 if axis == "x" else 1], hi - lo)
        other = (b[1], b[3]) if axis == "x" else (b[0], b[2])
        olo, ohi = (other[0] - 1.0, other[1] + 1.0) if other[0] is not None else (-1.0, 1.0)
        half = 0.5 * (hi - lo) + 1.0
        window = (c - half, olo, c + half, ohi) if axis == "x" else (olo, c - half, ohi, c + half)
        regions = self.painted_regions(window)
        factors = (-1.0, 1.0) if axis == "x" else (1.0, -1.0)
        origin = (c, 0.0) if axis == "x" else (0.0, c)
        by_material = dict(regions)
        for m, g in regions:
            image = by_material.get(m.mirrored(axis))
            if image is None:
                return None
            flipped = shapely.affinity.scale(g, *factors, origin=origin)
            band = tol * (g.length + 1.0)
            if abs(flipped.area - image.area) > band:
                return None
            if _same_vertices(flipped, image, tol):
                continue
            if shapely.symmetric_difference(flipped, image).area > band:
                return None
        return c

    def mirror_plane_x(self, tol: float = 1e-9) -> float | None:
        """x0 (micrometres) of a vertical mirror plane of the painted structure, or None.

        The plane through the middle of the finite x extents is tested: the painted regions
        reflected in it must match within a band of `tol` micrometres along their edges.
        Structures without finite x extent (only layers) give None.
        """
        return self._mirror_plane("x", tol)

    def mirror_plane_y(self, tol: float = 1e-9) -> float | None:
        """y0 (micrometres) of a horizontal mirror plane, or None; see mirror_plane_x."""
        return self._mirror_plane("y", tol)

    def plot(self, wavelength: float, *, grid=None, ax=None, grid_lines: bool = False, **kwargs):
        """Plot Re(n) at a vacuum wavelength (micrometres) on `grid` (default the automatic
        grid), cell edges drawn with grid_lines=True; see `corvane.plot.plot_index`."""
        return plot.plot_index(self, wavelength, grid=grid, ax=ax, grid_lines=grid_lines, **kwargs)

    def mirrored(self, axis: str, about: float = 0.0) -> "Structure":
        """The structure reflected in x = about (axis="x") or y = about (axis="y")."""
        _check_axis(axis)
        return Structure([s.mirrored(axis, about) for s in self.shapes],
                         background=self.background.mirrored(axis))

    def to_dict(self) -> dict:
        return {"shapes": [s.to_dict() for s in self.shapes],
                "background": self.background.to_dict()}

    @classmethod
    def from_dict(cls, d: dict) -> "Structure":
        """Inverse of `to_dict`."""
        return cls([shape_from_dict(s) for s in d["shapes"]],
                   background=Material.from_dict(d["background"]))


# -- builders ------------------------------------------------------------------------------

def _check_length(value, name: str, allow_zero: bool = False) -> float:
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise TypeError(f"{name} must be a length in micrometres, got {value!r}")
    v = float(value)
    if not math.isfinite(v) or v < 0 or (v == 0 and not allow_zero):
        raise ValueError(f"{name} must be a positive length in micrometres, got {value!r}")
    return v


def _ridge(x_center: float, width: float, y0: float, y1: float, angle_deg: float, material):
    """A ridge with top width `width` whose side walls lean out by angle_deg from vertical."""
    if not 0 <= angle_deg < 90:
        raise ValueError(f"sidewall_angle_deg must be in [0, 90) degrees, got {angle_deg!r}")
    if angle_deg == 0:
        return Rectangle(center=(x_center, 0.5 * (y0 + y1)), size=(width, y1 - y0),
                         material=material)
    foot = (y1 - y0) * math.tan(math.radians(angle_deg))
    return Polygon(vertices=[(x_center - width / 2 - foot, y0), (x_center + width / 2 + foot, y0),
                             (x_center + width / 2, y1), (x_center - width / 2, y1)],
                   material=material)


def _substrate(substrate, name: str = "substrate") -> list:
    if substrate is None:
        return []
    return [Layer(y=(-math.inf, 0.0), material=as_material(substrate, name))]


def strip(width: float = 0.5, height: float = 0.22, *, core=silicon, cladding=silica,
          substrate=None, sidewall_angle_deg: float = 0.0) -> Structure:
    """A strip waveguide: core of top `width` and `height` (micrometres) centred on x = 0
    with its bottom at y = 0, in `cladding`, on an optional `substrate` filling y < 0.

    Example:
        >>> s = strip(width=0.5, height=0.22)
    """
    width, height = _check_length(width, "width"), _check_length(height, "height")
    core = _ridge(0.0, width, 0.0, height, float(sidewall_angle_deg), as_material(core, "core"))
    return Structure(_substrate(substrate) + [core], background=as_material(cladding, "cladding"))


def rib(width: float = 0.5, height: float = 0.22, slab_height: float = 0.09, *, core=silicon,
        cladding=silica, substrate=None, sidewall_angle_deg: float = 0.0) -> Structure:
    """A rib waveguide: a slab of `slab_height` from y = 0 with a ridge of top `width` up to
    `height` (micrometres), centred on x = 0.

    Example:
        >>> r = rib(width=0.6, height=0.22, slab_height=0.07, sidewall_angle_deg=10)
    """
    width, height = _check_length(width, "width"), _check_length(height, "height")
    slab_height = _check_length(slab_height, "slab_height")
    if not slab_height < height:
        raise ValueError(
            f"slab_height ({slab_height}) must be below height ({height}) in micrometres")
    core = as_material(core, "core")
    shapes = _substrate(substrate) + [
        Layer(y=(0.0, slab_height), material=core),
        _ridge(0.0, width, slab_height, height, float(sidewall_angle_deg), core),
    ]
    return Structure(shapes, background=as_material(cladding, "cladding"))


def slot(width: float = 0.25, gap: float = 0.1, height: float = 0.22, *, core=silicon,
         cladding=silica, substrate=None) -> Structure:
    """A slot waveguide: two rails of `width` separated by `gap`, both `height` tall
    (micrometres), symmetric about x = 0 with their bottoms at y = 0.

    Example:
        >>> s = slot(width=0.25, gap=0.1, height=0.22)
    """
    width, height = _check_length(width, "width"), _check_length(height, "height")
    gap = _check_length(gap, "gap")
    core = as_material(core, "core")
    offset = 0.5 * (gap + width)
    rails = [Rectangle(center=(sign * offset, height / 2), size=(width, height), material=core)
             for sign in (-1.0, 1.0)]
    return Structure(_substrate(substrate) + rails, background=as_material(cladding, "cladding"))
