"""Material tensors sampled on the staggered grid with sub-cell accuracy.

Each tensor component sits where the field it multiplies sits: eps_xx at Ex, eps_yy at Ey,
eps_zz at Ez, mu_xx at Hx, mu_yy at Hy, mu_zz at Hz, and an off-diagonal eps_rc / mu_rc at
the field of row r. Each sample is averaged over its own dual cell: the rectangle around it
bounded by the neighbouring positions of the other staggering, clipped to the window.

Inside a dual cell cut by interfaces the materials' areas come from exact polygon clipping
(shapely); the average is the laminate one (Kottke, Farjadpour and Johnson, Phys. Rev. E 77,
036611 (2008)): in the frame of the interface normal n, the quantities continuous across a
flat interface (the normal D and the tangential E) are averaged through the matrix

    T(eps) = [[ 1/e11,  -e12/e11,          -e13/e11        ],
              [ e21/e11, e22 - e21 e12/e11, e23 - e21 e13/e11],
              [ e31/e11, e32 - e31 e12/e11, e33 - e31 e13/e11]],

eps_eff = T^-1(sum_m f_m T(eps_m)). For isotropic materials this is the harmonic mean
along n and the arithmetic mean across it: P <1/eps>^-1 + (1 - P) <eps>, P = n n^T. The
result is exact for a laminate, so the discretisation error stays O(h^2) with interfaces
anywhere in the cells. mu is averaged the same way (normal B, tangential H continuous).

The normal of a cut cell is exact for a straight interface: for the part R of a material in
the cell, the outward normal of R integrated over the edges of the clipped polygon that are
not on the cell's sides. With three or more materials in a cell the normal of the material
with the longest such vector is used; a cell where it vanishes (an inclusion inside the
cell) gets the arithmetic mean.

Before painting, shape vertices within 1e-9 of the local step of a grid line (a cell edge or
centre, the sides of all dual cells) are moved onto it, and coordinates below 1e-154 in
magnitude become zero. A side computed as centre + size / 2 can miss a grid edge by one ulp,
and GEOS mis-nodes overlays of subnormal coordinates (wrong areas or a TopologyException);
the moves change areas by far less than the discretisation error.

Example:
    >>> from corvane.geometry import strip
    >>> from corvane.grid import Grid
    >>> s = strip()
    >>> sampled = sample_materials(s, Grid.auto(s, 1.55, step=0.02), 1.55)
    >>> sampled.eps.shape[:2]
    (3, 3)
"""

from __future__ import annotations

import logging
import math
from dataclasses import dataclass

import numpy as np
import shapely

from corvane.geometry import Structure
from corvane.grid import Grid
from corvane.materials import check_wavelength

logger = logging.getLogger("corvane")

AVERAGING = ("tensor", "area", "center")

# Sample positions: (centred along x, centred along y).
_POSITIONS = ((True, False), (False, True), (False, False), (True, True))
_EX, _EY, _EZ, _HZ = _POSITIONS
_HX, _HY = _EY, _EX
_EPS_ROWS = (_EX, _EY, _EZ)
_MU_ROWS = (_HX, _HY, _HZ)

# Vertices this close to a grid line, relative to the local step, are moved onto it.
SNAP_TOLERANCE = 1e-9
# Coordinates smaller than this become zero: products of two of them underflow.
_TINY = math.sqrt(np.finfo(float).tiny)


@dataclass(frozen=True, eq=False)
class SampledMaterials:
    """Relative permittivity and permeability on a grid: complex arrays (3, 3, nx, ny).

    eps[r, c] is sampled at the position of the field component E_r (mu[r, c] at H_r).
    `is_diagonal` tells whether every off-diagonal sample is exactly zero.
    """

    eps: np.ndarray
    mu: np.ndarray
    grid: Grid
    wavelength: float

    @property
    def is_diagonal(self) -> bool:
        off = ~np.eye(3, dtype=bool)
        return not (np.any(self.eps[off] != 0) or np.any(self.mu[off] != 0))

    def flat(self, which: str = "eps") -> list[list[tuple[float, float]]]:
        """The nine components (xx, xy, ..., zz) as lists of (re, im) tuples in grid order,
        the form of the native module's eps_tensor and mu_tensor arguments."""
        a = self.eps if which == "eps" else self.mu
        out = []
        for r in range(3):
            for c in range(3):
                v = a[r, c].ravel()
                out.append(list(zip(v.real.tolist(), v.imag.tolist())))
        return out


def dual_cell_extents(grid: Grid, centred_x: bool, centred_y: bool):
    """(x_lo, x_hi, y_lo, y_hi): 1-D arrays bounding the dual cells of the samples at one
    staggering, clipped to the window (micrometres)."""
    def axis(edges: np.ndarray, centred: bool):
        if centred:
            return edges[:-1], edges[1:]
        centres = 0.5 * (edges[:-1] + edges[1:])
        return np.concatenate([[edges[0]], centres[:-1]]), centres

    return (*axis(grid.x_edges, centred_x), *axis(grid.y_edges, centred_y))


def grid_snapper(grid: Grid):
    """A function for `Structure.painted_regions(snap=...)`: it maps vertex coordinates
    (n, 2) to copies where a coordinate within SNAP_TOLERANCE of the local step of a cell
    edge or cell centre lies on that line, and one below 1e-154 in magnitude is zero."""
    axes = [_snap_lines(grid.x_edges), _snap_lines(grid.y_edges)]

    def snap(coords: np.ndarray) -> np.ndarray:
        out = np.array(coords, dtype=float)
        out[np.abs(out) < _TINY] = 0.0
        for a, (lines, tol) in enumerate(axes):
            c = out[:, a]
            k = np.clip(np.searchsorted(lines, c), 1, lines.size - 1)
            k -= c - lines[k - 1] < lines[k] - c  # the nearer of the two neighbours
            near = np.abs(c - lines[k]) <= tol[k]
            c[near] = lines[k[near]]
        return out

    return snap


def _snap_lines(edges: np.ndarray):
    """Sorted cell edges and centres along one axis and the snapping distance of each:
    SNAP_TOLERANCE times the narrowest cell the line bounds or halves."""
    lines = np.sort(np.concatenate([edges, 0.5 * (edges[:-1] + edges[1:])]))
    half = np.diff(lines)
    step = 2.0 * np.minimum(np.r_[half[0], half], np.r_[half, half[-1]])
    return lines, SNAP_TOLERANCE * step


def sample_materials(structure: Structure, grid: Grid, wavelength: float, *,
                     averaging: str = "tensor", off_diagonal: bool | None = None
                     ) -> SampledMaterials:
    """Sample a structure's eps and mu on a grid at a vacuum wavelength in micrometres.

    averaging: "tensor" (default) the laminate average described in the module docstring;
    "area" the plain area-weighted mean of the tensors; "center" the material at the sample
    point itself (no averaging; first-order accurate, for comparison only).
    off_diagonal: keep the off-diagonal terms that slanted interfaces produce. Default: only
    when some material's tensor has off-diagonal terms at this wavelength, so isotropic
    structures stay on the diagonal solver.

    Example:
        >>> from corvane.geometry import strip
        >>> from corvane.grid import Grid
        >>> g = Grid.uniform(x=(-1, 1), y=(-1, 1.2), step=0.05)
        >>> eps = sample_materials(strip(), g, 1.55).eps   # (3, 3, 40, 44)
    """
    if not isinstance(structure, Structure):
        raise TypeError(f"structure must be a corvane.Structure, got {type(structure).__name__}")
    if not isinstance(grid, Grid):
        raise TypeError(f"grid must be a corvane.Grid, got {type(grid).__name__}")
    lam = check_wavelength(wavelength)
    if averaging not in AVERAGING:
        raise ValueError(f"averaging must be one of {AVERAGING}, got {averaging!r}")
    regions = structure.painted_regions(grid.bounds, snap=grid_snapper(grid))
    materials = [m for m, _ in regions]
    eps_m = np.array([m.eps_tensor(lam) for m in materials])
    mu_m = np.array([m.mu_tensor(lam) for m in materials])
    off = ~np.eye(3, dtype=bool)
    if off_diagonal is None:
        off_diagonal = bool(np.any(eps_m[:, off] != 0) or np.any(mu_m[:, off] != 0))

    n = grid.nx * grid.ny
    eps = np.empty((3, 3, n), dtype=complex)
    mu = np.empty((3, 3, n), dtype=complex)
    mu_uniform = bool(np.all(mu_m == mu_m[0]))
    if mu_uniform:
        mu[:] = mu_m[0][:, :, None]
    for position in _POSITIONS:
        rows_e = [r for r, p in enumerate(_EPS_ROWS) if p == position]
        rows_m = [] if mu_uniform else [r for r, p in enumerate(_MU_ROWS) if p == position]
        if not rows_e and not rows_m:
            continue
        owner, cut, fractions, normals = _classify(regions, grid, position, averaging)
        pure = owner >= 0
        for values, out, rows in ((eps_m, eps, rows_e), (mu_m, mu, rows_m)):
            if not rows:
                continue
            for r in rows:
                out[r][:, pure] = values[owner[pure], r, :].T
            if cut.size:
                avg = _average(values, fractions, normals, averaging)  # (k, 3, 3)
                for r in rows:
                    out[r][:, cut] = avg[:, r, :].T
    if not off_diagonal:
        eps[off] = 0
        mu[off] = 0
    shape = (3, 3, grid.nx, grid.ny)
    return SampledMaterials(eps=eps.reshape(shape), mu=mu.reshape(shape), grid=grid,
                            wavelength=lam)


def _classify(regions, grid: Grid, position, averaging: str):
    """For the dual cells of one staggering: owner (n,) the region of each cell lying in a
    single region (-1 for cut cells), cut (k,) the flat indices of the cells interfaces pass
    through, their area fractions (k, M) and unit interface normals (k, 2), zero where the
    cell has no usable normal."""
    x_lo, x_hi, y_lo, y_hi = dual_cell_extents(grid, *position)
    nx, ny = grid.nx, grid.ny
    n_regions = len(regions)
    X, Y = grid.positions(_component_at(position))
    X, Y = X.ravel(), Y.ravel()
    none = np.zeros(0, dtype=int)
    if averaging == "center" or n_regions == 1:
        return _owner(regions, X, Y), none, np.zeros((0, n_regions)), np.zeros((0, 2))

    window_edge = shapely.boundary(shapely.box(*grid.bounds))
    pairs_region, pairs_cell = [], []
    for k, (_, region) in enumerate(regions):
        # The window's own edge cuts nothing: only interfaces inside the window matter.
        interfaces = shapely.difference(shapely.boundary(region), window_edge)
        cells = _cells_touching(interfaces, x_lo, x_hi, y_lo, y_hi)
        pairs_region.append(np.full(cells.size, k))
        pairs_cell.append(cells)
    pairs_region = np.concatenate(pairs_region)
    pairs_cell = np.concatenate(pairs_cell)
    cut = np.unique(pairs_cell)
    owner = np.full(nx * ny, -1)
    pure = np.ones(nx * ny, dtype=bool)
    pure[cut] = False
    # Cells no interface reaches lie inside one region: the one holding the sample point.
    owner[pure] = _owner(regions, X[pure], Y[pure])
    if cut.size == 0:
        return owner, cut, np.zeros((0, n_regions)), np.zeros((0, 2))

    ic, jc = np.divmod(pairs_cell, ny)
    xl, xh, yl, yh = x_lo[ic], x_hi[ic], y_lo[jc], y_hi[jc]
    clipped = _clip(regions, pairs_region, xl, yl, xh, yh)
    row = np.searchsorted(cut, pairs_cell)
    fractions = np.zeros((cut.size, n_regions))
    np.add.at(fractions, (row, pairs_region), shapely.area(clipped) / ((xh - xl) * (yh - yl)))
    # Exact clipping sums to 1 up to rounding, except in a cell that the bounding box of an
    # interface piece reaches but that lies inside a third region: there all pieces are empty.
    total = fractions.sum(axis=1)
    inside = np.flatnonzero(total == 0)
    fractions[inside, _owner(regions, X[cut[inside]], Y[cut[inside]])] = 1.0
    total[inside] = 1.0
    fractions /= total[:, None]

    normals = np.zeros((cut.size, 2))
    if averaging == "tensor":
        g = _interface_vectors(clipped, xl, xh, yl, yh)
        length = np.hypot(g[:, 0], g[:, 1])
        # Per cell, the vector of the region with the longest one.
        order = np.lexsort((length, row))
        last = np.ones(order.size, dtype=bool)
        last[:-1] = row[order][1:] != row[order][:-1]
        best = order[last]
        size = np.maximum(xh - xl, yh - yl)[best]
        ok = length[best] > 1e-9 * size
        normals[row[best][ok]] = g[best][ok] / length[best][ok, None]
    return owner, cut, fractions, normals


def _clip(regions, pairs_region, xl, yl, xh, yh) -> np.ndarray:
    """Region pairs_region[k] intersected with the box (xl, yl, xh, yh)[k]. Should GEOS's
    floating overlay fail (a TopologyException on nearly coincident edges), all pairs are
    clipped again by snap rounding to 1e-12 of the smallest box, an error far below the
    discretisation's."""
    geoms = np.array([g for _, g in regions], dtype=object)
    boxes = shapely.box(xl, yl, xh, yh)
    try:
        return shapely.intersection(geoms[pairs_region], boxes)
    except shapely.errors.GEOSException as error:
        q = 2.0 ** math.floor(math.log2(1e-12 * np.min(np.maximum(xh - xl, yh - yl))))
        logger.debug("clipping again with coordinates rounded to %g um: %s", q, error)
        rounded = shapely.set_precision(geoms, q)
        return shapely.intersection(rounded[pairs_region], boxes, grid_size=q)


def _cells_touching(lines, x_lo, x_hi, y_lo, y_hi) -> np.ndarray:
    """Flat indices of the dual cells that the lines touch or cross (a superset is fine:
    those cells are clipped exactly). The lines are cut into pieces no longer than the
    smallest cell, so each piece's bounding box spans a few cells only."""
    nx, ny = x_lo.size, y_lo.size
    # Slivers of cells must not multiply the pieces: no piece shorter than 1e-4 window.
    extent = max(x_hi[-1] - x_lo[0], y_hi[-1] - y_lo[0])
    h = max(min(np.min(x_hi - x_lo), np.min(y_hi - y_lo)), 1e-4 * extent)
    parts = shapely.get_parts(shapely.segmentize(lines, h))
    parts = parts[shapely.get_type_id(parts) == 1]  # LineStrings
    if parts.size == 0:
        return np.zeros(0, dtype=int)
    coords, line = shapely.get_coordinates(parts, return_index=True)
    same = line[1:] == line[:-1]
    a, b = coords[:-1][same], coords[1:][same]
    lo, hi = np.minimum(a, b), np.maximum(a, b)
    i0 = np.searchsorted(x_hi, lo[:, 0], "left")
    i1 = np.minimum(np.searchsorted(x_lo, hi[:, 0], "right") - 1, nx - 1)
    j0 = np.searchsorted(y_hi, lo[:, 1], "left")
    j1 = np.minimum(np.searchsorted(y_lo, hi[:, 1], "right") - 1, ny - 1)
    ni, nj = np.maximum(i1 - i0 + 1, 0), np.maximum(j1 - j0 + 1, 0)
    count = ni * nj
    seg = np.repeat(np.arange(count.size), count)
    local = np.arange(seg.size) - np.repeat(np.cumsum(count) - count, count)
    i = i0[seg] + local // nj[seg]
    j = j0[seg] + local % nj[seg]
    return np.unique(i * ny + j)


def _owner(regions, X: np.ndarray, Y: np.ndarray) -> np.ndarray:
    """Index of the region holding each point; a point on an interface goes to the region
    listed first (the shape painted last). The last region (the background) takes every
    point the others do not hold, without a test."""
    owner = np.full(X.shape, len(regions) - 1)
    free = np.ones(X.shape, dtype=bool)
    for k, (_, region) in enumerate(regions[:-1]):
        x0, y0, x1, y1 = region.bounds
        candidates = np.flatnonzero(free & (X >= x0) & (X <= x1) & (Y >= y0) & (Y <= y1))
        if candidates.size == 0:
            continue
        shapely.prepare(region)
        hit = candidates[shapely.intersects_xy(region, X[candidates], Y[candidates])]
        owner[hit] = k
        free[hit] = False
    return owner


def _component_at(position) -> str:
    return {_EX: "ex", _EY: "ey", _EZ: "ez", _HZ: "hz"}[position]


def _interface_vectors(clipped, xl, xh, yl, yh) -> np.ndarray:
    """For each clipped part R of a cell: the outward normal of R integrated over its edges
    that do not lie on the cell's sides (within 1e-9 of the cell size), i.e. over the
    interfaces inside the cell. Slivers left by rounding along a side drop out."""
    out = np.zeros((len(clipped), 2))
    parts, part_of = shapely.get_parts(clipped, return_index=True)
    polygonal = shapely.get_type_id(parts) == 3
    parts, part_of = parts[polygonal], part_of[polygonal]
    if parts.size == 0:
        return out
    rings, ring_part = shapely.get_rings(parts, return_index=True)
    exterior = np.ones(ring_part.size, dtype=bool)
    exterior[1:] = ring_part[1:] != ring_part[:-1]
    coords, ring_of = shapely.get_coordinates(rings, return_index=True)
    same = ring_of[1:] == ring_of[:-1]
    ring = ring_of[:-1][same]
    a, b = coords[:-1][same], coords[1:][same]
    # Shoelace sign per ring: counter-clockwise rings have positive area.
    signed = np.zeros(ring_part.size)
    np.add.at(signed, ring, a[:, 0] * b[:, 1] - b[:, 0] * a[:, 1])
    # Outward normal of edge (dx, dy) is sigma (dy, -dx): +1 for a counter-clockwise
    # exterior ring or a clockwise hole.
    sigma = np.sign(signed) * np.where(exterior, 1.0, -1.0)
    owner = part_of[ring_part[ring]]
    tol = 1e-9 * np.maximum(xh - xl, yh - yl)[owner]

    def on(coord: int, value: np.ndarray) -> np.ndarray:
        v = value[owner]
        return (np.abs(a[:, coord] - v) <= tol) & (np.abs(b[:, coord] - v) <= tol)

    inner = ~(on(0, xl) | on(0, xh) | on(1, yl) | on(1, yh))
    d = (b - a)[inner]
    w = sigma[ring[inner]]
    np.add.at(out[:, 0], owner[inner], w * d[:, 1])
    np.add.at(out[:, 1], owner[inner], -w * d[:, 0])
    return out


def _average(values: np.ndarray, fractions: np.ndarray, normals: np.ndarray, averaging: str):
    """(k, 3, 3) averaged tensors of k cut cells from the region tensors values (M, 3, 3),
    the fractions (k, M) and the unit normals (k, 2)."""
    out = np.einsum("km,mrc->krc", fractions.astype(complex), values)
    if averaging != "tensor":
        return out
    cut = np.flatnonzero(np.any(normals != 0, axis=-1))
    if cut.size == 0:
        return out
    n = normals[cut]
    f = fractions[cut]
    frame = np.zeros((cut.size, 3, 3))
    frame[:, 0, :2] = n
    frame[:, 1, 0], frame[:, 1, 1] = -n[:, 1], n[:, 0]
    frame[:, 2, 2] = 1.0
    local = np.einsum("kab,mbc,kdc->kmad", frame, values, frame)  # R eps R^T per material
    t_mean = np.einsum("km,kmab->kab", f, _laminate_form(local))
    # Materials of opposite signs (metals) can cancel <1/eps_nn>: keep the plain mean there.
    scale = np.max(np.abs(1.0 / local[:, :, 0, 0]), axis=1)
    ok = np.abs(t_mean[:, 0, 0]) > 1e-9 * scale
    with np.errstate(divide="ignore", invalid="ignore"):
        local_eff = _laminate_form(t_mean[ok])
    out[cut[ok]] = np.einsum("kba,kbc,kcd->kad", frame[ok], local_eff, frame[ok])  # R^T eps R
    return out


def _laminate_form(e: np.ndarray) -> np.ndarray:
    """T(eps) of the module docstring on the last two axes. T is an involution
    (T(T(eps)) = eps), so the same function maps the average back."""
    t = np.empty_like(e)
    e11 = e[..., 0, 0]
    t[..., 0, 0] = 1.0 / e11
    t[..., 0, 1:] = -e[..., 0, 1:] / e11[..., None]
    t[..., 1:, 0] = e[..., 1:, 0] / e11[..., None]
    t[..., 1:, 1:] = (e[..., 1:, 1:]
                      - e[..., 1:, 0, None] * e[..., 0, None, 1:] / e11[..., None, None])
    return t
