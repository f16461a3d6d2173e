"""Mode identity across a sweep: field overlaps and their optimal assignment.

Modes are matched to the previous point's modes by the magnitude of their normalised
Lorentz (reciprocity) overlap, the bilinear form under which the solver makes the modes of
one solve orthogonal, so a mode keeps its identity through crossings where the order by
neff swaps. Fields on different grids are compared after linear interpolation of the
earlier fields onto the later grid's sample positions.
"""

from __future__ import annotations

import numpy as np

from corvane.analysis import component_weights

__all__ = ["assign_max", "normalised_overlaps", "interpolate_fields"]

TRANSVERSE = ("ex", "ey", "hx", "hy")


def assign_max(scores) -> list[tuple[int, int]]:
    """Row-column pairs that maximise the summed score, one column per row (Hungarian).

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
    if a.shape[0] > a.shape[1]:
        return sorted((r, c) for c, r in assign_max(a.T))
    cols = _hungarian(a.max() - a)
    return [(r, int(c)) for r, c in enumerate(cols)]


def _hungarian(cost: np.ndarray) -> np.ndarray:
    """Column of each row in a minimum-cost assignment, rows <= cols.

    Shortest augmenting paths with row and column potentials u, v (reduced costs
    cost[i, j] - u[i] - v[j] stay non-negative); one augmentation per row, O(n^2 m).
    """
    n, m = cost.shape
    inf = np.inf
    u = np.zeros(n + 1)
    v = np.zeros(m + 1)
    owner = np.zeros(m + 1, dtype=int)  # owner[j]: 1-based row matched to column j, 0 = free
    way = np.zeros(m + 1, dtype=int)
    for i in range(1, n + 1):
        owner[0] = i
        j0 = 0
        minv = np.full(m + 1, inf)
        used = np.zeros(m + 1, dtype=bool)
        while True:
            used[j0] = True
            i0 = owner[j0]
            delta, j1 = inf, 0
            for j in range(1, m + 1):
                if not used[j]:
                    cur = cost[i0 - 1, j - 1] - u[i0] - v[j]
                    if cur < minv[j]:
                        minv[j] = cur
                        way[j] = j0
                    if minv[j] < delta:
                        delta, j1 = minv[j], j
            for j in range(m + 1):
                if used[j]:
                    u[owner[j]] += delta
                    v[j] -= delta
                else:
                    minv[j] -= delta
            j0 = j1
            if owner[j0] == 0:
                break
        while j0:
            j1 = way[j0]
            owner[j0] = owner[j1]
            j0 = j1
    cols = np.zeros(n, dtype=int)
    for j in range(1, m + 1):
        if owner[j]:
            cols[owner[j] - 1] = j - 1
    return cols


def _interpolation_matrix(source: np.ndarray, target: np.ndarray) -> np.ndarray:
    """Dense (len(target), len(source)) linear interpolation along one axis; zero outside."""
    w = np.zeros((len(target), len(source)))
    if len(source) == 1:
        w[np.isclose(target, source[0]), 0] = 1.0
        return w
    k = np.clip(np.searchsorted(source, target) - 1, 0, len(source) - 2)
    t = (target - source[k]) / (source[k + 1] - source[k])
    inside = (t >= -1e-12) & (t <= 1 + 1e-12)
    rows = np.nonzero(inside)[0]
    w[rows, k[rows]] = 1.0 - t[rows]
    w[rows, k[rows] + 1] = t[rows]
    return w


def _sample_axes(grid, component: str):
    x, y = grid.positions(component)
    return np.asarray(x)[:, 0], np.asarray(y)[0, :]


def same_grid(a, b) -> bool:
    """True when two grids have identical edges."""
    return a is b or (np.array_equal(a.x_edges, b.x_edges) and np.array_equal(a.y_edges, b.y_edges))


def interpolate_fields(fields: dict, source_grid, target_grid, components=TRANSVERSE) -> dict:
    """The given components of `fields` (on `source_grid`) at the samples of `target_grid`."""
    if same_grid(source_grid, target_grid):
        return {c: np.asarray(fields[c]) for c in components}
    out = {}
    for c in components:
        sx, sy = _sample_axes(source_grid, c)
        tx, ty = _sample_axes(target_grid, c)
        out[c] = _interpolation_matrix(sx, tx) @ np.asarray(fields[c]) @ _interpolation_matrix(sy, ty).T
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
