"""Bent waveguides as straight ones: the exact coordinate transformation of a bend.

A guide bent in the x-z plane around a centre of curvature at x = -R is solved in the
coordinates (x, y, z = R theta): the arc length along the reference radius R is the new
propagation coordinate. With r = R + x the distance from the centre, a length element along
the bend is (r / R) dz, and Maxwell's equations keep their Cartesian form when the material
tensors are replaced by

    T'_ij = T_ij * g_i * g_j * (r / R),  g = (1, 1, R / r),

for T = eps and T = mu alike. For a diagonal tensor this is T * diag(r/R, r/R, R/r); the
entries that couple z with x or y keep their value. The transformed tensors stay diagonal
when the originals are, so the diagonal solver applies.

The effective index of the bent mode refers to the radius R: the field goes as
exp(i k0 neff R theta), and Im(neff) > 0 is radiation into the outer cladding. That
radiation must leave the window through an absorbing layer on the outer side (high x): keep
the PML of `corvane.solve` on (the default) and leave room between the guide and the outer
layer so that the radiation caustic, at r ~ R neff / n_clad, lies inside the window.
`bend_extent` gives such a window; on the inner side the transformed index falls towards the
centre, so the field dies faster there than beside a straight guide and the window is
trimmed to keep the centre of curvature (and its singular R / r) well outside.
"""

from __future__ import annotations

import dataclasses
import math

import numpy as np

from corvane.grid import Grid
from corvane.window import margin_for

__all__ = ["apply_bend", "bend_extent", "bend_factors", "bend_loss_db_per_90deg"]

# Room beyond the caustic on the outer side, in wavelengths in the cladding: the radiation
# turns from evanescent to outgoing there and must be outgoing when it meets the PML. Half a
# wavelength already holds the loss to about 1 %; 0.7 leaves a margin.
BEYOND_CAUSTIC = 0.7
# Share of the distance from the guide's inner edge to the centre of curvature that the
# window (and, separately, its inner PML) may take.
INNER_SHARE = 0.5
# Thickness of the outer PML in vacuum wavelengths: the radiation meets it at a grazing
# transverse index, so it needs a thicker layer than an evanescent tail (half a wavelength
# lets the loss wander by 20 %, one wavelength holds it within 1 %).
OUTER_PML_WAVELENGTHS = 1.0

# The sample position of each tensor row: row r of eps sits on the E component r, row r of
# mu on the H component r (x, y, z order).
_EPS_ROWS = ("ex", "ey", "ez")
_MU_ROWS = ("hx", "hy", "hz")


def bend_factors(x_um, radius_um: float) -> np.ndarray:
    """Factors (3, 3, ...) that multiply a material tensor sampled at positions `x_um`.

    Entry [i, j] is g_i g_j r / R with g = (1, 1, R / r) and r = R + x (micrometres).

    >>> bend_factors(1.0, 10.0).diagonal().round(4).tolist()
    [1.1, 1.1, 0.9091]
    """
    x = np.asarray(x_um, dtype=float)
    ratio = (radius_um + x) / radius_um  # r / R
    g = [np.ones_like(ratio), np.ones_like(ratio), 1.0 / ratio]
    return np.array([[g[i] * g[j] * ratio for j in range(3)] for i in range(3)])


def _check_radius(radius, grid) -> float:
    if isinstance(radius, bool) or not isinstance(radius, (int, float, np.floating, np.integer)):
        raise TypeError(f"radius must be a real number in micrometres, got {type(radius).__name__}")
    radius = float(radius)
    if not math.isfinite(radius) or radius <= 0:
        raise ValueError(f"radius must be a positive number of micrometres, got {radius!r}")
    x_min = float(grid.x_edges[0])
    if radius + x_min <= 0:
        raise ValueError(
            f"radius {radius} um puts the centre of curvature (x = -{radius}) inside the window, "
            f"which starts at x = {x_min} (its PML included): use a radius above {-x_min} um, "
            f"a thinner left PML (corvane.PML(left=...)) or move the window"
        )
    return radius


def bend_extent(x_bounds, radius: float, *, neff: float, cladding_index: float,
                wavelength: float, margin: float) -> tuple[float, float]:
    """The x extent (x0, x1) in micrometres of the window for a bend of radius `radius`.

    `x_bounds` (xmin, xmax) is the guide's extent, `neff` an estimate of the mode's
    effective index (the straight guide's), `cladding_index` the index the radiation leaves
    through, `margin` the straight guide's margin. Outside, the window reaches
    `BEYOND_CAUSTIC` cladding wavelengths past the caustic x = R (neff / n_clad - 1) (and at
    least `margin` past the guide); inside, `margin` or `INNER_SHARE` of the distance to the
    centre of curvature, whichever is less.

    >>> bend_extent((-0.25, 0.25), 2.0, neff=2.44, cladding_index=1.444, wavelength=1.55,
    ...             margin=1.0)
    (-1.125, 2.130886426592798)
    """
    xmin, xmax = (float(v) for v in x_bounds)
    if not radius + xmin > 0:
        raise ValueError(f"bend_radius {radius} um puts the centre of curvature (x = "
                         f"-{radius}) inside the guide, which starts at x = {xmin}: use a "
                         f"radius above {-xmin} um")
    caustic = radius * (neff / cladding_index - 1.0)
    x1 = max(xmax + margin, caustic + BEYOND_CAUSTIC * wavelength / cladding_index)
    x0 = xmin - min(margin, INNER_SHARE * (radius + xmin))
    return x0, x1


def inner_pml(thickness: float, radius: float, x0: float) -> float:
    """The inner (low x) PML thickness a bend's window starting at `x0` can take: at most
    `INNER_SHARE` of the distance left to the centre of curvature."""
    return min(float(thickness), INNER_SHARE * (radius + x0))


def fitted_request(request, neffs, *, auto_pml: bool):
    """The request of a bend solve with its window fitted to the bend (`bend_extent`).

    `request` is the checked `corvane.inputs.Request` of a solve with a bend radius; `neffs`
    the effective indices the bent modes start from (the straight guide's, or the guess).
    On the automatic grid the window reaches past the caustic of the highest of them and
    keeps the margin the slowest tail needs on the inner side; with `auto_pml` the outer PML
    is `OUTER_PML_WAVELENGTHS` thick and the inner one clear of the centre of curvature. A
    caller's grid is kept."""
    radius, wavelength, structure = request.bend_radius, request.wavelength, request.structure
    if request.grid is not None or not neffs:
        return request
    n_clad = float(structure.background.index(wavelength).real)
    xmin, _, xmax, _ = structure.bounds()
    if xmin is None:
        return request
    margin = max(margin_for(min(neffs), n_clad, wavelength), 0.5 * wavelength)
    x0, x1 = bend_extent((xmin, xmax), radius, neff=max(neffs), cladding_index=n_clad,
                         wavelength=wavelength, margin=margin)
    grid = Grid.auto(structure, wavelength, step=request.step, x=(x0, x1),
                     mirror_y=structure.mirror_plane_y() if request.symmetry != "none" else None)
    pml = request.pml
    if auto_pml:
        side = pml.left
        pml = dataclasses.replace(pml, left=inner_pml(side, radius, x0),
                                  right=max(side, OUTER_PML_WAVELENGTHS * wavelength))
    return dataclasses.replace(request, grid=grid, step=None, pml=pml)


def apply_bend(sampled, grid, radius):
    """The materials of a bend of radius `radius` (micrometres) as a straight guide.

    `sampled` is a SampledMaterials (eps and mu as complex (3, 3, nx, ny) arrays, each row
    sampled at its own field component's position on `grid`); the centre of curvature lies
    at x = -radius. Returns a new SampledMaterials whose tensors are transformed as
    described in this module's docstring; `sampled` is not changed.

    >>> bent = apply_bend(sampled, grid, radius=20.0)   # doctest: +SKIP
    """
    radius = _check_radius(radius, grid)
    eps = np.array(sampled.eps, dtype=complex, copy=True)
    mu = np.array(sampled.mu, dtype=complex, copy=True)
    for row, component in enumerate(_EPS_ROWS):
        x, _ = grid.positions(component)
        eps[row] *= bend_factors(x, radius)[row]
    for row, component in enumerate(_MU_ROWS):
        x, _ = grid.positions(component)
        mu[row] *= bend_factors(x, radius)[row]
    return dataclasses.replace(sampled, eps=eps, mu=mu)


def bend_loss_db_per_90deg(neff, wavelength, radius):
    """Radiation loss of a bend in dB per 90 degrees of arc.

    `neff` refers to the radius `radius` (micrometres), as `corvane.solve(...,
    bend_radius=radius)` returns it; `wavelength` in micrometres. The power decays as
    exp(-2 k0 Im(neff) s) along the arc length s = R theta, and a quarter turn is
    s = pi R / 2. Accepts arrays of neff.

    >>> round(float(bend_loss_db_per_90deg(2.4 + 1e-5j, wavelength=1.55, radius=5.0)), 4)
    0.0028
    """
    if not wavelength > 0:
        raise ValueError(f"wavelength must be positive (micrometres), got {wavelength!r}")
    if not radius > 0:
        raise ValueError(f"radius must be positive (micrometres), got {radius!r}")
    k0 = 2.0 * math.pi / wavelength
    arc = 0.5 * math.pi * radius
    return 20.0 / math.log(10.0) * k0 * np.imag(neff) * arc
