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
import warnings
from dataclasses import dataclass

import numpy as np

from corvane.materials import check_wavelength, probing_at

COMPONENTS = ("ex", "ey", "ez", "hx", "hy", "hz")

# The automatic grid's cell size at distance d (micrometres) from the nearest interface is
# step * min(GROWTH_CAP, 1 + d / GROWTH_LENGTH): one mapping scaled by the step, so halving
# the step halves every cell and the error falls at the scheme's order (docs/grid.md gives
# the measurements behind these two values).
GROWTH_LENGTH = 0.2
GROWTH_CAP = 8.0
# Interface coordinates closer than this many steps are one grid line: a side computed as
# centre + size / 2 misses another shape's side by a rounding step, which would otherwise
# leave a cell 1e-17 um wide.
LINE_ROUNDING = 1e-9
# Vertices off the axis-aligned interfaces closer than this many steps to a kept grid line
# are merged into it: a finely sampled curve then costs cells by the step, not by its
# vertex count (the sampler resolves the curve inside the cells).
VERTEX_MERGE = 0.5
# A cell must span at least this fraction of its coordinates' magnitude, so that the
# interfaces and dual cells keep about 2^-22 of a cell in double precision.
RESOLVABLE = 2.0**-30


class ResolutionWarning(UserWarning):
    """The step is too coarse to resolve the structure or the wavelength in it."""

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
    _check_resolvable(float(np.max(np.abs(a))), float(np.min(np.diff(a))), name)
    a.setflags(write=False)
    return a


def _check_resolvable(magnitude: float, cell: float, name: str) -> None:
    if cell < RESOLVABLE * magnitude:
        raise ValueError(
            f"{name}: cells of {cell:.3g} um cannot be resolved at {magnitude:.3g} um from the "
            f"origin (double precision keeps about {magnitude * 2.0**-52:.2g} um there); "
            "move the structure near the origin, e.g. centre its shapes on (0, 0)")


def _warn_unresolved(structure, wavelength: float, coarsest: float) -> None:
    """Warn when the step is coarser than the structure or leaves the wavelength in the
    densest material fewer than 4 cells: the result is then far from converged."""
    n_max = max(structure.max_index(wavelength), 1.0)
    xmin, ymin, xmax, ymax = structure.bounds()
    extent = min((b - a for a, b in ((xmin, xmax), (ymin, ymax)) if a is not None),
                 default=math.inf)
    reasons = []
    if coarsest > wavelength / (4 * n_max):
        reasons.append(f"the wavelength in the material (n = {n_max:.3g}) is "
                       f"{wavelength / n_max:.3g} um, fewer than 4 cells")
    if coarsest > extent:
        reasons.append(f"the structure spans {extent:.3g} um, less than one step")
    if reasons:
        suggest = min(wavelength / (20 * n_max), extent / 4)
        warnings.warn(
            f"step={coarsest:g} um cannot resolve this structure ({'; '.join(reasons)}): "
            f"the modes will be far from converged; use step <= {suggest:.3g} um or leave "
            "step unset", ResolutionWarning, stacklevel=3)


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
    _warns = True  # whether `auto` warns of a step too coarse (not when only sizing)

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

        Cell edges fall on every axis-aligned interface (`structure.interfaces("aligned")`,
        coordinates within rounding merged) and on the other vertices half a step or more
        from those and from each other (see docs/grid.md). Next to
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
        with probing_at(lam):  # a tabulated material need only hold at this wavelength
            if isinstance(mirror_x, str):
                if mirror_x != "auto":
                    raise ValueError(f"mirror_x must be 'auto', None or a coordinate, "
                                     f"got {mirror_x!r}")
                mirror_x = structure.mirror_plane_x() if x is None else None
            if isinstance(mirror_y, str):
                if mirror_y != "auto":
                    raise ValueError(f"mirror_y must be 'auto', None or a coordinate, "
                                     f"got {mirror_y!r}")
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
        if cls._warns:
            _warn_unresolved(structure, lam, max(sx, sy))
        (hard_x, hard_y), (soft_x, soft_y) = (structure.interfaces("aligned"),
                                              structure.interfaces("vertices"))
        x_plan = _axis_plan(hard_x, soft_x, (xmin, xmax), mx, x, sx, hx, float(max_ratio),
                            mirror_x, "x")
        y_plan = _axis_plan(hard_y, soft_y, (ymin, ymax), my, y, sy, hy, float(max_ratio),
                            mirror_y, "y")
        return cls._from_plans(x_plan, y_plan)

    @classmethod
    def auto_size(cls, structure, wavelength: float, **options) -> "GridSize":
        """The size of `Grid.auto(structure, wavelength, **options)`, counted from the
        integral of its size function without placing any edge, so that a grid far too
        large to build is sized at once.

        Example:
            >>> from corvane.geometry import strip
            >>> Grid.auto_size(strip(), 1.55, step=0.02).shape
            (64, 50)
        """
        return _Sizer.auto(structure, wavelength, **options)

    @property
    def size(self) -> "GridSize":
        """The cell counts and outermost cells of this grid."""
        dx, dy = self.dlf_x, self.dlf_y
        return GridSize(self.nx, self.ny, (float(dx[0]), float(dx[-1]), float(dy[0]),
                                           float(dy[-1])))

    @classmethod
    def _from_plans(cls, x_plan, y_plan) -> "Grid":
        return cls(*(p if isinstance(p, np.ndarray) else p.edges() for p in (x_plan, y_plan)))

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


@dataclass(frozen=True)
class GridSize:
    """Cell counts of a grid and the widths of its outermost cells (left, right, bottom,
    top; micrometres), which set the cells of absorbing layers added outside."""

    nx: int
    ny: int
    outer: tuple[float, float, float, float]

    @property
    def shape(self) -> tuple[int, int]:
        return (self.nx, self.ny)


class _Sizer(Grid):
    """Runs `Grid.auto`'s argument handling but returns the `GridSize` of its plans."""

    _warns = False

    @classmethod
    def _from_plans(cls, x_plan, y_plan) -> GridSize:
        counts, outer = [], []
        for p in (x_plan, y_plan):
            if isinstance(p, np.ndarray):
                counts.append(p.size - 1)
                outer += [float(p[1] - p[0])] * 2
            else:
                counts.append(p.count)
                outer += list(p.outer_cells)
        return GridSize(counts[0], counts[1], tuple(outer))


def _centred(component: str) -> tuple[bool, bool]:
    try:
        return CENTRED[component]
    except (KeyError, TypeError):
        raise ValueError(f"component must be one of {COMPONENTS}, got {component!r}")


def _axis_plan(hard, soft, extent, margin, window, step, max_step, ratio, mirror, name):
    """The size function of one axis as an `_AxisPlan`, or the edges themselves when the
    axis has no finite extent (a single cell of width `step`)."""
    lo, hi = extent
    if window is not None:
        w0, w1 = _interval(window, name)
    elif lo is None:
        c = 0.0 if mirror is None else mirror
        return np.array([c - 0.5 * step, c + 0.5 * step])
    else:
        w0, w1 = lo - margin, hi + margin
    core = (lo, hi) if lo is not None else (w0, w1)
    _check_resolvable(max(abs(w0), abs(w1)), step, f"step along {name}")
    # Growth in proportion to the step (cells step * (1 + d / GROWTH_LENGTH)), so that the
    # whole grid scales with it; max_ratio caps the growth for coarse steps only.
    slope = min(0.98 * math.log(ratio), step / GROWTH_LENGTH)
    if mirror is None:
        return _AxisPlan.build(w0, w1, hard, soft, core, step, max_step, slope, mirrored=False)
    if not w0 < mirror < w1:
        raise ValueError(f"mirror_{name}={mirror!r} must lie inside the window ({w0}, {w1})")
    reach = max(mirror - w0, w1 - mirror)
    core = (max(mirror, min(core[0], 2 * mirror - core[1])), max(core[1], 2 * mirror - core[0]))
    return _AxisPlan.build(mirror, mirror + reach, _folded(hard, mirror), _folded(soft, mirror),
                           core, step, max_step, slope, mirrored=True)


def _folded(points: np.ndarray, mirror: float) -> np.ndarray:
    return np.concatenate([points, 2 * mirror - points])


def _coalesced_lines(w0, w1, hard, soft, step) -> np.ndarray:
    """The grid lines strictly inside (w0, w1): the axis-aligned interfaces `hard`, one line
    per cluster within rounding (`LINE_ROUNDING` steps), and of the vertices `soft` those
    `VERTEX_MERGE` steps or more from the interfaces and from each other."""
    tol = LINE_ROUNDING * step
    h = np.unique(np.asarray(hard, float))
    h = h[(h > w0 + tol) & (h < w1 - tol)]
    if h.size:
        h = h[np.concatenate([[True], np.diff(h) > tol])]
    v = np.unique(np.asarray(soft, float))
    merge = VERTEX_MERGE * step
    v = v[(v > w0 + merge) & (v < w1 - merge)]
    if h.size and v.size:
        k = np.searchsorted(h, v)
        gap = np.minimum(np.abs(v - h[np.clip(k - 1, 0, h.size - 1)]),
                         np.abs(h[np.clip(k, 0, h.size - 1)] - v))
        v = v[gap >= merge]
    # From each kept vertex, the farthest one within a step (at least `merge` on): a dense
    # curve then gets lines about a step apart, one cell each.
    kept, k = [], 0
    while k < v.size:
        kept.append(v[k])
        far = int(np.searchsorted(v, v[k] + step, side="right")) - 1
        near = int(np.searchsorted(v, v[k] + merge, side="left"))
        k = far if far >= near else near
    return np.union1d(h, np.asarray(kept, float))


class _AxisPlan:
    """Cell sizes along one axis, s(x) = min(max_step, step + c d(x, core),
    min_k (h_k + c |x - p_k|)), where the p_k are the grid lines, h_k the step there (no
    larger than the gaps next to it), core the structure's extent and
    c = min(step / GROWTH_LENGTH, 0.98 ln(max_ratio)). A cell spans one unit of the integral
    of 1/s, so neighbouring cells differ by at most exp(c) < max_ratio.

    s is piecewise linear, so its integral and the inverse are exact (logarithms); the
    envelope of the cones over all lines comes from one sweep each way (as in a distance
    transform), so building costs O(N log N) in the number of lines."""

    def __init__(self, nodes, forced, cumulative, left, right, cap, slope, mirrored):
        self.nodes, self.forced, self.cumulative = nodes, forced, cumulative
        self.left, self.right, self.cap, self.slope = left, right, cap, slope
        self.mirrored = mirrored
        f = cumulative[forced]
        self.cells = np.maximum(1, np.ceil(np.diff(f) - 1e-6)).astype(np.int64)

    @classmethod
    def build(cls, w0, w1, hard, soft, core, step, max_step, slope, mirrored):
        lines = _coalesced_lines(w0, w1, hard, soft, step)
        fixed = np.concatenate([[w0], lines, [w1]])
        gaps = np.diff(fixed)
        # The step at a line: no larger than the gaps next to it (not their even split, which
        # would not scale with the step).
        split = np.minimum(step, gaps)
        h_lines = np.minimum(split[:-1], split[1:])
        # Core ends are sources of the step's cone but not grid lines.
        ends = np.array([v for v in core if w0 < v < w1], float)
        nodes = np.concatenate([fixed, ends])
        heights = np.concatenate([[np.inf], h_lines, [np.inf], np.full(ends.size, step)])
        forced = np.concatenate([np.ones(fixed.size, bool), np.zeros(ends.size, bool)])
        order = np.argsort(nodes, kind="stable")
        nodes, heights, forced = nodes[order], heights[order], forced[order]
        keep = np.concatenate([[True], np.diff(nodes) > 0])
        forced = np.logical_or.reduceat(forced, np.flatnonzero(keep))
        heights = np.minimum.reduceat(heights, np.flatnonzero(keep))
        nodes = nodes[keep]
        inside = (nodes >= core[0]) & (nodes <= core[1])
        heights = np.where(inside, np.minimum(heights, step), np.minimum(heights, max_step))
        gaps = np.diff(nodes)
        # Lower envelope of the cones at the nodes: one pass each way.
        if slope > 0:
            x = slope * (nodes - nodes[0])
            env = np.minimum(np.minimum.accumulate(heights - x) + x,
                             np.minimum.accumulate((heights + x)[::-1])[::-1] - x)
        else:
            env = np.full(nodes.size, heights.min())
        mid = 0.5 * (nodes[:-1] + nodes[1:])
        cap = np.where((mid >= core[0]) & (mid <= core[1]), step, max_step)
        left, right = np.minimum(env[:-1], cap), np.minimum(env[1:], cap)
        integrals = _piece_integrals(gaps, left, right, cap, slope)
        cumulative = np.concatenate([[0.0], np.cumsum(integrals)])
        return cls(nodes, forced, cumulative, left, right, cap, slope, mirrored)

    @property
    def count(self) -> int:
        """Number of cells on the whole axis (both sides of a mirror plane)."""
        n = int(self.cells.sum())
        return 2 * n if self.mirrored else n

    @property
    def outer_cells(self) -> tuple[float, float]:
        """Widths of the first and last cells of the whole axis."""
        f = self.cumulative[self.forced]
        gaps = np.diff(self.nodes)
        first = _piece_inverse(np.array([(f[1] - f[0]) / self.cells[0]]), gaps[:1],
                               self.left[:1], self.right[:1], self.cap[:1], self.slope)
        span = (f[-1] - f[-2]) / self.cells[-1]
        last = gaps[-1] - _piece_inverse(np.array([self.cumulative[-1] - span - self.cumulative[-2]]),
                                         gaps[-1:], self.left[-1:], self.right[-1:],
                                         self.cap[-1:], self.slope)
        low, high = float(first[0]), float(last[0])
        return (high, high) if self.mirrored else (low, high)

    def edges(self) -> np.ndarray:
        f = self.cumulative[self.forced]
        starts = np.repeat(f[:-1], self.cells - 1)
        per = np.repeat(np.diff(f) / self.cells, self.cells - 1)
        first = np.cumsum(self.cells - 1) - (self.cells - 1)
        j = np.arange(starts.size) - np.repeat(first, self.cells - 1) + 1
        targets = starts + j * per
        k = np.clip(np.searchsorted(self.cumulative, targets, side="right") - 1, 0,
                    self.nodes.size - 2)
        inner = self.nodes[k] + _piece_inverse(
            targets - self.cumulative[k], np.diff(self.nodes)[k], self.left[k], self.right[k],
            self.cap[k], self.slope)
        half = np.sort(np.concatenate([self.nodes[self.forced], inner]))
        if not self.mirrored:
            return half
        offsets = half[1:] - half[0]
        return np.concatenate([half[0] - offsets[::-1], [half[0]], half[0] + offsets])


def _piece_shapes(length, left, right, cap, slope):
    """Split s(t) = min(cap, left + c t, right + c (length - t)) on [0, length] into a rise
    of `up` from `left`, a plateau of `flat` at `top` and a fall of `down` to `right`."""
    if slope > 0:
        up = np.clip((cap - left) / slope, 0.0, length)
        down = np.clip((cap - right) / slope, 0.0, length)
        cross = np.clip((right - left + slope * length) / (2 * slope), 0.0, length)
        plateau = up + down < length
        up = np.where(plateau, up, cross)
        down = np.where(plateau, down, length - cross)
    else:
        up = down = np.zeros_like(length)
    flat = np.maximum(length - up - down, 0.0)
    top = np.where(flat > 0, np.minimum(cap, np.minimum(left, right) if slope == 0 else cap),
                   left + slope * up)
    return up, flat, down, top


def _piece_integrals(length, left, right, cap, slope):
    up, flat, down, top = _piece_shapes(length, left, right, cap, slope)
    rise = np.log1p(slope * up / left) / slope if slope > 0 else 0.0
    fall = np.log1p(slope * down / right) / slope if slope > 0 else 0.0
    return rise + flat / top + fall


def _piece_inverse(value, length, left, right, cap, slope):
    """The t in [0, length] at which the integral of 1/s from 0 reaches `value`."""
    up, flat, down, top = _piece_shapes(length, left, right, cap, slope)
    if slope == 0:
        return np.minimum(value * top, length)
    rise = np.log1p(slope * up / left) / slope
    t_rise = left * np.expm1(slope * np.minimum(value, rise)) / slope
    t_flat = up + (value - rise) * top
    peak = right + slope * down
    beyond = np.maximum(value - rise - flat / top, 0.0)
    t_fall = up + flat - peak * np.expm1(-slope * beyond) / slope
    t = np.where(value <= rise, t_rise, np.where(value - rise <= flat / top, t_flat, t_fall))
    return np.clip(t, 0.0, length)
