"""Mirror symmetry: the planes a solve may split at, the half window, and the unfolding of
half-window modes back to the full window.

In: the structure, the symmetry asked for and the window's cell edges. Out: the mirror planes
({"x": x0, "y": y0}), the edges of the half (or quarter) window above them, and, after the
solve, the full-window edges and fields (mirrored with the parity of each component and
power-normalised).
"""

from __future__ import annotations

import numpy as np

from corvane.pml import PML


def structure_planes(structure, symmetry: str, bend_radius, pml: PML) -> dict:
    """Mirror planes of the structure that the solve may split at: {"x": x0, "y": y0}."""
    if symmetry == "none":
        return {}
    planes = {}
    for ax, lo, hi in (("x", pml.left, pml.right), ("y", pml.bottom, pml.top)):
        if symmetry != "auto" and ax not in symmetry:
            continue
        c = structure.mirror_plane_x() if ax == "x" else structure.mirror_plane_y()
        reason = None
        if c is None:
            reason = "the structure has no mirror plane"
        elif ax == "x" and bend_radius is not None:
            reason = "a bend breaks the mirror symmetry in x"
        elif lo != hi:
            reason = "the PML differs on the two sides"
        if reason is None:
            planes[ax] = c
        elif symmetry != "auto":
            raise ValueError(f"symmetry={symmetry!r} needs a mirror plane normal to {ax}, but "
                             f"{reason}: use symmetry='auto' or 'none'")
    return planes


def window_planes(candidates: dict, x_edges, y_edges, symmetry: str) -> dict:
    """The candidate planes about which the padded window is symmetric too."""
    planes = {}
    for ax, edges in (("x", x_edges), ("y", y_edges)):
        if ax not in candidates:
            continue
        if edges_symmetric(edges, candidates[ax]):
            planes[ax] = candidates[ax]
        elif symmetry != "auto":
            raise ValueError(f"symmetry={symmetry!r} needs a window symmetric about the plane "
                             f"{ax} = {candidates[ax]:g}: build the grid with "
                             f"Grid.auto(..., mirror_{ax}=...) or use symmetry='auto'")
    return planes


def edges_symmetric(edges: np.ndarray, c: float) -> bool:
    """Whether the edges are symmetric about c and have an edge on it."""
    h = np.min(np.diff(edges))
    if abs((edges[0] + edges[-1]) / 2 - c) > 1e-6 * h:
        return False
    if np.min(np.abs(edges - c)) > 1e-6 * h:
        return False
    return np.allclose(edges, (2 * c - edges)[::-1], atol=1e-6 * h)


def half_edges(edges: np.ndarray, c: float) -> np.ndarray:
    """The edges at or above the mirror coordinate c, starting exactly at c."""
    h = np.min(np.diff(edges))
    upper = edges[edges > c + 0.3 * h]
    return np.concatenate([[c], upper])


def mirrored_edges(edges: np.ndarray) -> np.ndarray:
    """The full-window edges of half-window edges that start on the mirror plane."""
    c = edges[0]
    return np.concatenate([2 * c - edges[:0:-1], edges])


# Parity of each component (ex, ey, ez, hx, hy, hz) under a mirror x -> -x behind a magnetic
# wall (tangential H = 0); an electric wall flips every sign. Same for y with the roles of the
# transverse components swapped.
_EVEN_X_MAGNETIC = np.array([-1, 1, 1, 1, -1, -1])
_EVEN_Y_MAGNETIC = np.array([1, -1, 1, -1, 1, -1])
# Components sampled on cell edges along x (Ey, Ez, Hx) and along y (Ex, Ez, Hy).
_ON_X_EDGES = np.array([False, True, True, True, False, False])
_ON_Y_EDGES = np.array([True, False, True, False, True, False])


def _unfold_axis(fields: np.ndarray, axis: int, signs: np.ndarray, on_edges: np.ndarray):
    """Mirror (6, M, n_a, n_b) fields across the low edge of `axis` (2 for x, 3 for y)."""
    parts = []
    for k in range(6):
        f = fields[k]
        mirrored = np.flip(f, axis=axis - 1) * signs[k]
        if on_edges[k]:
            # Samples at the mirrored edges: the outer wall sample (zero) then the mirror of
            # samples 1..n-1; the sample on the plane itself is shared, and an odd component
            # vanishes there (the solve kept it as a detuned wall unknown, nearly zero).
            mirrored = np.roll(mirrored, 1, axis=axis - 1)
            index = [slice(None)] * f.ndim
            index[axis - 1] = 0
            mirrored[tuple(index)] = 0
            if signs[k] < 0:
                f = f.copy()
                f[tuple(index)] = 0
        parts.append(np.concatenate([mirrored, f], axis=axis - 1))
    return np.stack(parts)


def unfold(fields: np.ndarray, parity: tuple, weights: tuple) -> np.ndarray:
    """(6, M, nx, ny) fields of a half (or quarter) window mirrored across its walls
    `parity` (e.g. (("x", "electric"),)) and power-normalised over the full window with the
    dual-cell `weights` of Ex and Ey (see `power_normalise`); unchanged without walls."""
    for ax, wall in parity:
        base = _EVEN_X_MAGNETIC if ax == "x" else _EVEN_Y_MAGNETIC
        signs = base if wall == "magnetic" else -base
        fields = _unfold_axis(fields, 2 if ax == "x" else 3, signs,
                              _ON_X_EDGES if ax == "x" else _ON_Y_EDGES)
    return power_normalise(fields, weights) if parity else fields


def power_normalise(fields: np.ndarray, weights: tuple) -> np.ndarray:
    """Scale (6, M, nx, ny) fields so that |integral of (E x H*).z| = 1 for each mode; the
    products Ex Hy* and Ey Hx* are weighted by the dual cells `weights` = (w_ex, w_ey) of
    their positions (`corvane.analysis.component_weights`)."""
    w_ex, w_ey = weights
    s = (np.sum(w_ex * fields[0] * fields[4].conj(), axis=(1, 2))
         - np.sum(w_ey * fields[1] * fields[3].conj(), axis=(1, 2)))
    p = np.abs(s)
    scale = np.where(p > 2.0**-52, 1.0 / np.sqrt(np.where(p > 0, p, 1.0)), 1.0)
    return fields * scale[None, :, None, None]
