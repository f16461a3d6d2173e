"""Mode identity across a sweep: field overlaps and their optimal assignment.

Modes are matched to the previous point's modes by the magnitude of their normalised
Lorentz (reciprocity) overlap, the bilinear form under which the solver makes the modes of
one solve orthogonal, so a mode keeps its identity through crossings where the order by
neff swaps. Fields on different grids are compared after linear interpolation of the
earlier fields onto the later grid's sample positions.
"""

from __future__ import annotations

import numpy as np
from scipy.interpolate import RegularGridInterpolator
from scipy.optimize import linear_sum_assignment

from corvane.weights import component_weights

__all__ = ["assign_max", "normalised_overlaps", "interpolate_fields"]

TRANSVERSE = ("ex", "ey", "hx", "hy")


def assign_max(scores) -> list[tuple[int, int]]:
    """Row-column pairs that maximise the summed score, one column per row.

    `scores` is (rows, cols); with more rows than columns some rows stay unassigned. A NaN
    score counts as 0. Pairs come sorted by row.

    >>> assign_max([[0.1, 0.9], [0.8, 0.3]])
    [(0, 1), (1, 0)]
    """
    a = np.nan_to_num(np.asarray(scores, dtype=float), nan=0.0)
    if a.ndim != 2:
        raise ValueError(f"scores must be a 2-d array, got shape {a.shape}")
    if a.size == 0:
        return []
    rows, cols = linear_sum_assignment(a, maximize=True)
    return [(int(r), int(c)) for r, c in zip(rows, cols)]


def _sample_axes(grid, component: str):
    x, y = grid.positions(component)
    return np.asarray(x)[:, 0], np.asarray(y)[0, :]


def _resample(values: np.ndarray, source: tuple, target: tuple) -> np.ndarray:
    """Linear interpolation of samples on the axes `source` at the points of the axes
    `target` ((x, y) pairs of 1-d arrays); zero outside the source samples."""
    axes = []
    for k, s in enumerate(source):
        if len(s) == 1:  # one sample: a sliver of width 1e-9 um so that it has a span
            s = np.array([s[0] - 5e-10, s[0] + 5e-10])
            values = np.concatenate([values, values], axis=k)
        axes.append(s)
    points = np.stack(np.meshgrid(*target, indexing="ij"), axis=-1)
    return RegularGridInterpolator(axes, values, bounds_error=False, fill_value=0.0)(points)


def same_grid(a, b) -> bool:
    """True when two grids have identical edges."""
    return a is b or (np.array_equal(a.x_edges, b.x_edges) and np.array_equal(a.y_edges, b.y_edges))


def interpolate_fields(fields: dict, source_grid, target_grid, components=TRANSVERSE) -> dict:
    """The given components of `fields` (on `source_grid`) at the samples of `target_grid`."""
    if same_grid(source_grid, target_grid):
        return {c: np.asarray(fields[c]) for c in components}
    out = {}
    for c in components:
        out[c] = _resample(np.asarray(fields[c]), _sample_axes(source_grid, c),
                           _sample_axes(target_grid, c))
    return out


def _cross(a: dict, b: dict, weights: tuple) -> complex:
    return complex(np.sum(weights[0] * a["ex"] * b["hy"]) - np.sum(weights[1] * a["ey"] * b["hx"]))


def normalised_overlaps(earlier, later, grid, earlier_grid=None) -> np.ndarray:
    """|O(a, b)| / sqrt(|O(a, a)| |O(b, b)|) for every earlier mode a and later mode b.

    O is the unconjugated Lorentz overlap 1/2 sum w (Ea x Hb + Eb x Ha).z over the samples of
    `grid` (the later modes' grid), each product weighted by its dual cells; `earlier` and
    `later` are sequences of mappings with the components "ex", "ey", "hx", "hy" ((nx, ny)
    arrays). Earlier modes on `earlier_grid`
    are interpolated onto `grid` first. Returns (len(earlier), len(later)) in [0, 1] (up to
    rounding); a mode without overlap with itself scores 0.
    """
    weights = (component_weights(grid, "ex"), component_weights(grid, "ey"))
    if earlier_grid is not None:
        earlier = [interpolate_fields(a, earlier_grid, grid) for a in earlier]
    earlier = [{c: np.asarray(a[c]) for c in TRANSVERSE} for a in earlier]
    later = [{c: np.asarray(b[c]) for c in TRANSVERSE} for b in later]
    self_a = [abs(_cross(a, a, weights)) for a in earlier]
    self_b = [abs(_cross(b, b, weights)) for b in later]
    scores = np.zeros((len(earlier), len(later)))
    for i, a in enumerate(earlier):
        for j, b in enumerate(later):
            norm = np.sqrt(self_a[i] * self_b[j])
            if norm > 0:
                scores[i, j] = abs(0.5 * (_cross(a, b, weights) + _cross(b, a, weights))) / norm
    return scores
