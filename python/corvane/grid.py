"""Rectilinear staggered grids (lengths in micrometres).

A `Grid` is given by its cell edges along x (nx + 1 values) and y (ny + 1 values). Cell
(i, j) spans [x_edges[i], x_edges[i+1]] x [y_edges[j], y_edges[j+1]]; arrays over the grid
are shaped (nx, ny), flat index p = i * ny + j. The six field components sit at (Yee):

    Ex (xc_i, ye_j)   Ey (xe_i, yc_j)   Ez (xe_i, ye_j)
    Hx (xe_i, yc_j)   Hy (xc_i, ye_j)   Hz (xc_i, yc_j)

with xe_i = x_edges[i] and xc_i the centre of cell i (the same along y). See docs/grid.md.

Example:
    >>> g = Grid.uniform(x=(-1.0, 1.0), y=(-0.5, 0.5), step=0.1)
    >>> g.nx, g.ny
    (20, 10)
"""

from __future__ import annotations

import math
import numbers

import numpy as np

from corvane.materials import check_wavelength

COMPONENTS = ("ex", "ey", "ez", "hx", "hy", "hz")

# The automatic grid's cell size at distance d (micrometres) from the nearest interface is
# step * min(GROWTH_CAP, 1 + d / GROWTH_LENGTH): one mapping scaled by the step, so halving
# the step halves every cell and the error falls at the scheme's order (docs/grid.md gives
# the measurements behind these two values).
GROWTH_LENGTH = 0.2
GROWTH_CAP = 8.0

# For each component: is it at the cell centre (True) or on the cell edge (False) along x, y.
CENTRED = {
    "ex": (True, False), "ey": (False, True), "ez": (False, False),
    "hx": (False, True), "hy": (True, False), "hz": (True, True),
}


def _edges(values, name: str) -> np.ndarray:
    try:
        a = np.array(values, dtype=float).ravel()
    except (TypeError, ValueError):
        raise TypeError(f"{name} must be a sequence of numbers in micrometres, got {values!r}")
    if a.size < 2:
        raise ValueError(f"{name} needs at least 2 edges (1 cell), got {a.size}")
    if not np.all(np.isfinite(a)):
        raise ValueError(f"{name} must be finite (micrometres)")
    if not np.all(np.diff(a) > 0):
        raise ValueError(f"{name} must be strictly increasing (cells of positive width)")
    a.setflags(write=False)
    return a


def _positive(value, name: str) -> float:
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise TypeError(f"{name} must be a length in micrometres, got {value!r}")
    v = float(value)
    if not (math.isfinite(v) and v > 0):
        raise ValueError(f"{name} must be a positive length in micrometres, got {value!r}")
    return v


def _interval(value, name: str) -> tuple[float, float]:
    try:
        a, b = (float(v) for v in value)
    except (TypeError, ValueError):
        raise TypeError(f"{name} must be a pair (start, stop) in micrometres, got {value!r}")
    if not (math.isfinite(a) and math.isfinite(b) and a < b):
        raise ValueError(f"{name} must be (start, stop) with start < stop, got {value!r}")
    return a, b


def _steps_pair(step, name: str = "step") -> tuple[float, float]:
    if isinstance(step, (tuple, list)):
        if len(step) != 2:
            raise ValueError(f"{name} must be one length or a pair (x, y), got {step!r}")
        return _positive(step[0], name), _positive(step[1], name)
    s = _positive(step, name)
    return s, s


def _center_backward_steps(edges: np.ndarray) -> np.ndarray:
    centres = 0.5 * (edges[:-1] + edges[1:])
    before = 2 * edges[0] - centres[0]
    return np.diff(np.concatenate([[before], centres]))


class Grid:
    """A rectilinear grid from its cell edges (micrometres), immutable.

    Example:
        >>> g = Grid(x_edges=[0.0, 0.25, 0.75], y_edges=[0.0, 0.5])
        >>> g.dlf_x.tolist(), g.dlb_x.tolist()
        ([0.25, 0.5], [0.25, 0.375])
    """

    __slots__ = ("_x", "_y")

    def __init__(self, x_edges, y_edges):
        object.__setattr__(self, "_x", _edges(x_edges, "x_edges"))
        object.__setattr__(self, "_y", _edges(y_edges, "y_edges"))

    def __setattr__(self, name, value):
        raise AttributeError("Grid is immutable; build a new one")

    def __reduce__(self):
        # Rebuild from the edges: pickling (e.g. to Dask workers) cannot set the slots.
        return (Grid, (self._x, self._y))

    def __eq__(self, other):
        return (isinstance(other, Grid) and np.array_equal(self._x, other._x)
                and np.array_equal(self._y, other._y))

    def __hash__(self):
        return hash((self._x.tobytes(), self._y.tobytes()))

    def __repr__(self):
        return (f"Grid(nx={self.nx}, ny={self.ny}, x=({self._x[0]:g}, {self._x[-1]:g}), "
                f"y=({self._y[0]:g}, {self._y[-1]:g}))")

    # -- constructors --------------------------------------------------------------------

    @classmethod
    def uniform(cls, *, x, y, step) -> "Grid":
        """Equal cells over the window x=(x0, x1), y=(y0, y1) (micrometres).

        `step` (one length or a pair) is the largest allowed cell size: each axis gets
        ceil(length / step) equal cells.

        Example:
            >>> Grid.uniform(x=(0, 1), y=(0, 1), step=0.25).nx
            4
        """
        (x0, x1), (y0, y1) = _interval(x, "x"), _interval(y, "y")
        sx, sy = _steps_pair(step)
        nx = max(1, math.ceil((x1 - x0) / sx - 1e-9))
        ny = max(1, math.ceil((y1 - y0) / sy - 1e-9))
        return cls(np.linspace(x0, x1, nx + 1), np.linspace(y0, y1, ny + 1))

    @classmethod
    def auto(cls, structure, wavelength: float, *, step=None, margin=None,
             max_ratio: float = 1.3, max_step=None, mirror_x="auto", mirror_y="auto",
             x=None, y=None) -> "Grid":
        """A grid fitted to a structure.

        Cell edges fall on every interface coordinate of `structure.interfaces()`. Next to
        an interface and over the structure the cells are at most `step` (default: a
        twentieth of the wavelength in the highest-index material), and no larger than the
        gaps to the neighbouring interfaces; at distance d from them they are
        step * min(GROWTH_CAP, 1 + d / GROWTH_LENGTH), so every cell scales with `step`.
        `max_ratio` caps the growth from one cell to the next (it binds for steps above
        about 0.05 um only) and `max_step` the cells (default GROWTH_CAP * step). All
        lengths in micrometres; `step` and `margin` may be pairs (x, y).

        The window is the structure's finite extent padded by `margin` on each side
        (default 0.7 * wavelength), unless x=(x0, x1) / y=(y0, y1) give it. An axis with
        no finite extent (a slab of layers along x) gets a single cell of width `step`.
        `mirror_x=x0` makes the grid mirror symmetric about x = x0 with a cell edge on it
        (same for `mirror_y`), so half the window can be solved (`Grid.half`). The default
        "auto" does so about the structure's own mirror plane (`Structure.mirror_plane_x`)
        when it has one and no window `x` is given; None turns it off.

        Example:
            >>> from corvane.geometry import strip
            >>> g = Grid.auto(strip(), 1.55, step=0.02, mirror_x=0.0)
        """
        lam = check_wavelength(wavelength)
        if step is None:
            step = lam / (20 * max(structure.max_index(lam), 1.0))
        sx, sy = _steps_pair(step)
        if isinstance(mirror_x, str):
            if mirror_x != "auto":
                raise ValueError(f"mirror_x must be 'auto', None or a coordinate, got {mirror_x!r}")
            mirror_x = structure.mirror_plane_x() if x is None else None
        if isinstance(mirror_y, str):
            if mirror_y != "auto":
                raise ValueError(f"mirror_y must be 'auto', None or a coordinate, got {mirror_y!r}")
            mirror_y = structure.mirror_plane_y() if y is None else None
        if not isinstance(max_ratio, numbers.Real) or not max_ratio >= 1:
            raise ValueError(
                f"max_ratio must be a number >= 1 (1 means no growth), got {max_ratio!r}")
        if margin is None:
            mx = my = 0.7 * lam
        else:
            mx, my = _steps_pair(margin, "margin")
        if max_step is None:
            hx, hy = GROWTH_CAP * sx, GROWTH_CAP * sy
        else:
            hx, hy = _steps_pair(max_step, "max_step")
            hx, hy = max(hx, sx), max(hy, sy)
        xmin, ymin, xmax, ymax = structure.bounds()
        xs, ys = structure.interfaces()
        x_edges = _axis_edges(xs, (xmin, xmax), mx, x, sx, hx, float(max_ratio), mirror_x, "x")
        y_edges = _axis_edges(ys, (ymin, ymax), my, y, sy, hy, float(max_ratio), mirror_y, "y")
        return cls(x_edges, y_edges)

    # -- properties ----------------------------------------------------------------------

    @property
    def x_edges(self) -> np.ndarray:
        return self._x

    @property
    def y_edges(self) -> np.ndarray:
        return self._y

    @property
    def nx(self) -> int:
        return self._x.size - 1

    @property
    def ny(self) -> int:
        return self._y.size - 1

    @property
    def shape(self) -> tuple[int, int]:
        return (self.nx, self.ny)

    @property
    def bounds(self) -> tuple[float, float, float, float]:
        """The window (xmin, ymin, xmax, ymax) in micrometres."""
        return (float(self._x[0]), float(self._y[0]), float(self._x[-1]), float(self._y[-1]))

    @property
    def x_centers(self) -> np.ndarray:
        return 0.5 * (self._x[:-1] + self._x[1:])

    @property
    def y_centers(self) -> np.ndarray:
        return 0.5 * (self._y[:-1] + self._y[1:])

    @property
    def dlf_x(self) -> np.ndarray:
        """Cell widths x_edges[i+1] - x_edges[i] (forward steps of the native solver)."""
        return np.diff(self._x)

    @property
    def dlf_y(self) -> np.ndarray:
        return np.diff(self._y)

    @property
    def dlb_x(self) -> np.ndarray:
        """Distances between neighbouring cell centres xc_i - xc_(i-1), with the centre
        before the first mirrored in the low edge (so dlb_x[0] = dlf_x[0])."""
        return _center_backward_steps(self._x)

    @property
    def dlb_y(self) -> np.ndarray:
        return _center_backward_steps(self._y)

    @property
    def cell_areas(self) -> np.ndarray:
        """(nx, ny) cell areas in square micrometres."""
        return np.outer(self.dlf_x, self.dlf_y)

    def positions(self, component: str) -> tuple[np.ndarray, np.ndarray]:
        """(X, Y), each (nx, ny), the sample positions (micrometres) of a field component
        "ex", "ey", "ez", "hx", "hy" or "hz".

        Example:
            >>> X, Y = Grid.uniform(x=(0, 1), y=(0, 1), step=0.5).positions("ex")
            >>> X[:, 0].tolist(), Y[0].tolist()
            ([0.25, 0.75], [0.0, 0.5])
        """
        cx, cy = _centred(component)
        xs = self.x_centers if cx else self._x[:-1]
        ys = self.y_centers if cy else self._y[:-1]
        return np.meshgrid(xs, ys, indexing="ij")

    # -- derived grids -------------------------------------------------------------------

    def extended(self, *, left: float = 0.0, right: float = 0.0, bottom: float = 0.0,
                 top: float = 0.0, step=None) -> "Grid":
        """The grid with cells added outside the window (e.g. for absorbing layers).

        Each side gets ceil(length / step) equal cells covering exactly `length`
        micrometres; `step` defaults to the width of the outermost cell on that side.

        Example:
            >>> g = Grid.uniform(x=(0, 1), y=(0, 1), step=0.1).extended(right=0.5)
            >>> g.nx
            15
        """
        def pad(edges: np.ndarray, low: float, high: float, name_low, name_high):
            out = edges
            for length, name, at_low in ((low, name_low, True), (high, name_high, False)):
                if isinstance(length, bool) or not isinstance(length, numbers.Real) or \
                        not (math.isfinite(length) and length >= 0):
                    raise ValueError(f"{name} must be a length >= 0 in micrometres, got {length!r}")
                if length == 0:
                    continue
                h = (out[1] - out[0] if at_low else out[-1] - out[-2]) if step is None else \
                    _positive(step, "step")
                n = max(1, math.ceil(length / h - 1e-9))
                if at_low:
                    out = np.concatenate([out[0] - length * np.arange(n, 0, -1) / n, out])
                else:
                    out = np.concatenate([out, out[-1] + length * np.arange(1, n + 1) / n])
            return out

        return Grid(pad(self._x, left, right, "left", "right"),
                    pad(self._y, bottom, top, "bottom", "top"))

    def half(self, plane: float, side: str = "right") -> "Grid":
        """The part of the grid on one side of a symmetry plane.

        side "right" keeps x >= plane, "top" keeps y >= plane; the plane must be a cell
        edge (within 1e-9 um) and becomes the low wall of the half grid. "left" and
        "bottom" keep x <= plane or y <= plane.

        Example:
            >>> g = Grid.uniform(x=(-1, 1), y=(0, 1), step=0.5).half(0.0)
            >>> g.x_edges.tolist()
            [0.0, 0.5, 1.0]
        """
        if side not in ("right", "left", "top", "bottom"):
            raise ValueError(f"side must be 'right', 'left', 'top' or 'bottom', got {side!r}")
        along_x = side in ("right", "left")
        edges = self._x if along_x else self._y
        k = int(np.argmin(np.abs(edges - plane)))
        if abs(edges[k] - plane) > 1e-9 or k in (0, edges.size - 1):
            raise ValueError(
                f"plane={plane!r} must be an interior cell edge along {'x' if along_x else 'y'}; "
                "build the grid with Grid.auto(..., mirror_x=...) or put an edge there"
            )
        kept = edges[k:] if side in ("right", "top") else edges[: k + 1]
        return Grid(kept, self._y) if along_x else Grid(self._x, kept)

    def to_dict(self) -> dict:
        return {"x_edges": self._x.tolist(), "y_edges": self._y.tolist()}

    @classmethod
    def from_dict(cls, d: dict) -> "Grid":
        return cls(d["x_edges"], d["y_edges"])


def _centred(component: str) -> tuple[bool, bool]:
    try:
        return CENTRED[component]
    except (KeyError, TypeError):
        raise ValueError(f"component must be one of {COMPONENTS}, got {component!r}")


def _axis_edges(interfaces, extent, margin, window, step, max_step, ratio, mirror, name):
    lo, hi = extent
    if window is not None:
        w0, w1 = _interval(window, name)
    elif lo is None:
        w0, w1 = -0.5 * step, 0.5 * step
        if mirror is not None:
            w0, w1 = mirror - 0.5 * step, mirror + 0.5 * step
        return np.array([w0, w1])
    else:
        w0, w1 = lo - margin, hi + margin
    points = [p for p in interfaces if w0 < p < w1]
    core = (lo, hi) if lo is not None else (w0, w1)
    if mirror is None:
        return _graded_edges(w0, w1, points, core, step, max_step, ratio)
    if not w0 < mirror < w1:
        raise ValueError(f"mirror_{name}={mirror!r} must lie inside the window ({w0}, {w1})")
    reach = max(mirror - w0, w1 - mirror)
    mirrored = [2 * mirror - p for p in points]
    right = sorted({p for p in points + mirrored if mirror < p < mirror + reach})
    core = (max(mirror, min(core[0], 2 * mirror - core[1])), max(core[1], 2 * mirror - core[0]))
    half = _graded_edges(mirror, mirror + reach, right, core, step, max_step, ratio)
    offsets = half[1:] - mirror
    return np.concatenate([mirror - offsets[::-1], [mirror], mirror + offsets])


def _graded_edges(w0, w1, points, core, step, max_step, ratio) -> np.ndarray:
    """Edges on [w0, w1] through every point, with cells following the size function
    s(x) = min(max_step, step + c d(x, core), min_k (h_k + c |x - p_k|)), where core is the
    structure's extent, h_k the step at point k and c = ln(ratio): a cell of the mapping
    spans one unit of the integral of 1/s, so neighbouring cells differ by exp(c) = ratio."""
    merged: list[float] = []
    for p in sorted(points):
        if not merged or p - merged[-1] > 1e-9:
            merged.append(float(p))
    fixed = np.array([w0] + merged + [w1])
    feats = np.array(merged, dtype=float)
    # The step at a feature: no larger than an even split of each gap next to it.
    h_feat = np.full(feats.size, step)
    for k in range(feats.size):
        for gap in (fixed[k + 1] - fixed[k], fixed[k + 2] - fixed[k + 1]):
            h_feat[k] = min(h_feat[k], gap)
    # Growth in proportion to the step (cells step * (1 + d / GROWTH_LENGTH)), so that the
    # whole grid scales with it; max_ratio caps the growth for coarse steps only.
    slope = min(0.98 * math.log(ratio), step / GROWTH_LENGTH)

    def size(x: np.ndarray) -> np.ndarray:
        outside = np.maximum(core[0] - x, 0.0) + np.maximum(x - core[1], 0.0)
        s = np.minimum(max_step, step + slope * outside)
        for p, h in zip(feats, h_feat):
            s = np.minimum(s, h + slope * np.abs(x - p))
        return s

    edges = [w0]
    for a, b in zip(fixed[:-1], fixed[1:]):
        xs = np.linspace(a, b, 4097)
        density = 1.0 / size(xs)
        cum = np.concatenate([[0.0], np.cumsum(0.5 * (density[1:] + density[:-1]) * np.diff(xs))])
        n = max(1, math.ceil(cum[-1] - 1e-6))
        inner = np.interp(np.arange(1, n) * cum[-1] / n, cum, xs)
        edges.extend(inner.tolist())
        edges.append(float(b))
    return np.array(edges)
