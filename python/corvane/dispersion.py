"""Group index and group-velocity dispersion of computed modes.

Two routes to the group index ng = c / vg = d(k0 neff) / dk0:

- "integral": energy over power flux. The discrete mode problem is a Hermitian pencil
  (curl operator against diag(eps, mu)) when the materials are lossless and no stretched
  PML row touches the field, so the Hellmann-Feynman theorem gives the derivative of the
  eigenvalue exactly, on the grid:

      ng = 1/2 sum_c w_c [ d(w eps)/dw |E_c|^2 + d(w mu)/dw Z0^2 |H_c|^2 ]
           / ( Z0 Re sum w (Ex Hy* - Ey Hx*) )

  where the sum runs over the six Yee components, each weighted by the area of its own dual
  cell (see `component_weights`), and d(omega eps)/d omega = eps - lambda d eps/d lambda
  carries the material dispersion. H is in the solver's unit (E / Z0).
- "difference": neff solved again at lambda - d and lambda + d on the same grid, the
  matching mode picked by overlap, and ng = neff - lambda dneff/dlambda by a central
  difference. It works for every mode, lossy and leaky ones included (then ng is complex:
  its real part is the group index).

`group_index(mode, method="auto")` takes "integral" when it is exact and "difference"
otherwise. `gvd_ps_per_nm_km` gives the dispersion D = -(lambda / c) d2neff/dlambda2 of a
wavelength sweep.
"""

from __future__ import annotations

import logging
import math
from dataclasses import dataclass

import numpy as np

from corvane import pipeline
from corvane.bend import apply_bend
from corvane.inputs import check_request
from corvane.materials import probing_at
from corvane.result import Solution
from corvane.sampling import sample_materials
from corvane.tracking import normalised_overlaps
from corvane.weights import component_weights

__all__ = [
    "component_weights",
    "integral_group_index",
    "group_index",
    "gvd_ps_per_nm_km",
    "SPEED_OF_LIGHT",
    "Z0",
]

log = logging.getLogger("corvane")

SPEED_OF_LIGHT = 299792458.0  # m/s
Z0 = 376.7303136668535  # ohm; the solver's H is E / Z0 in these units

_E = ("ex", "ey", "ez")
_H = ("hx", "hy", "hz")

# Relative wavelength step of the material-dispersion difference d eps / d lambda.
_MATERIAL_STEP = 1e-4


def _stored_energy(grid, names, tensor: np.ndarray, values: list[np.ndarray]) -> float:
    """sum over samples of w_r Re(conj(F_r) T_rc F_c), w_r the dual cell of component r.

    Off-diagonal terms pair samples of different staggerings at the same index, as the
    tensorial operator does; the form is exact for diagonal tensors.
    """
    energy = 0.0
    for r, name in enumerate(names):
        row = sum(tensor[r, c] * values[c] for c in range(3) if np.any(tensor[r, c] != 0))
        if np.isscalar(row):
            continue
        energy += float(np.sum(component_weights(grid, name) * np.real(np.conj(values[r]) * row)))
    return energy


def integral_group_index(*, fields, grid, eps, mu, d_omega_eps=None, d_omega_mu=None) -> float:
    """Group index of one mode from its energy over its power flux (see module docstring).

    fields: mapping "ex".."hz" -> (nx, ny) complex arrays, H in the solver's unit (E / Z0).
    grid: the Grid the fields live on. eps, mu: (3, 3, nx, ny) sampled relative tensors.
    d_omega_eps, d_omega_mu: d(omega eps)/d omega and the same for mu, (3, 3, nx, ny);
    eps and mu themselves when absent (no material dispersion).

    >>> ng = integral_group_index(fields=mode_fields, grid=grid, eps=eps, mu=mu)  # doctest: +SKIP
    """
    d_omega_eps = eps if d_omega_eps is None else d_omega_eps
    d_omega_mu = mu if d_omega_mu is None else d_omega_mu
    e_fields = [np.asarray(fields[c], dtype=complex) for c in _E]
    h_fields = [Z0 * np.asarray(fields[c], dtype=complex) for c in _H]
    energy = _stored_energy(grid, _E, np.asarray(d_omega_eps), e_fields)
    energy += _stored_energy(grid, _H, np.asarray(d_omega_mu), h_fields)
    # Ex and Hy share their samples and dual cells, as do Ey and Hx.
    flux = np.sum(component_weights(grid, "ex") * e_fields[0] * np.conj(h_fields[1]))
    flux -= np.sum(component_weights(grid, "ey") * e_fields[1] * np.conj(h_fields[0]))
    flux = float(np.real(flux))
    if flux == 0.0 or not math.isfinite(flux):
        raise ValueError("the mode carries no power flux: its group index is undefined")
    return abs(0.5 * energy / flux)


@dataclass(frozen=True)
class _Solved:
    """What the group index needs to know about the solve a mode came from."""

    grid: object  # the full window, PML included: the grid of the fields
    inner_grid: object  # the window without PML, to solve again on the same cells
    structure: object
    wavelength: float
    settings: dict


def _solved(mode, mode_set=None) -> _Solved:
    context = getattr(mode, "context", None)
    if context is None or getattr(context, "grid", None) is None:
        raise TypeError("group_index needs a Mode returned by corvane.solve (with its grid, "
                        f"structure and wavelength); got {type(mode).__name__}")
    settings = getattr(context, "settings", None)
    if settings is None and mode_set is not None:
        settings = getattr(mode_set, "settings", None)
    inner = getattr(context, "inner_grid", None)
    return _Solved(grid=context.grid, inner_grid=inner if inner is not None else context.grid,
                   structure=context.structure, wavelength=float(context.wavelength),
                   settings=dict(settings or {}))


def _mode_fields(mode) -> dict[str, np.ndarray]:
    return {c: np.asarray(getattr(mode, c)) for c in _E + _H}


def _sampled_tensors(solved: _Solved, wavelength: float):
    """eps, mu of the structure on the mode's grid at `wavelength`, bend included. In the
    PML cells they are the plain materials: a mode for which this route is exact has no
    field there."""
    sampled = sample_materials(solved.structure, solved.grid, wavelength)
    radius = solved.settings.get("bend_radius")
    if radius is not None:
        sampled = apply_bend(sampled, solved.grid, radius)
    return np.asarray(sampled.eps), np.asarray(sampled.mu)


def _is_dispersive(structure) -> bool:
    return any(getattr(m, "is_dispersive", False) for m in structure.materials())


def _integral_route(mode, solved: _Solved) -> float:
    wavelength = solved.wavelength
    eps, mu = _sampled_tensors(solved, wavelength)
    d_eps, d_mu = eps, mu
    if _is_dispersive(solved.structure):
        # d(omega eps)/d omega = eps - lambda d eps / d lambda, the derivative centred.
        h = _MATERIAL_STEP * wavelength
        eps_hi, mu_hi = _sampled_tensors(solved, wavelength + h)
        eps_lo, mu_lo = _sampled_tensors(solved, wavelength - h)
        d_eps = eps - wavelength * (eps_hi - eps_lo) / (2 * h)
        d_mu = mu - wavelength * (mu_hi - mu_lo) / (2 * h)
    return integral_group_index(fields=_mode_fields(mode), grid=solved.grid, eps=eps, mu=mu,
                                d_omega_eps=d_eps, d_omega_mu=d_mu)


def integral_route_is_exact(mode, *, loss_tolerance: float = 1e-7) -> bool:
    """True when the energy-flux formula is exact for `mode`: diagonal lossless materials
    and a (numerically) real effective index. A mode whose field reaches a PML is absorbed
    there, so its Im(neff) tells whether the stretched rows carry its energy."""
    structure = mode.context.structure
    wavelength = float(mode.context.wavelength)
    with probing_at(wavelength):
        diagonal = getattr(structure, "is_diagonal", True)
    if not diagonal:
        return False
    for material in structure.materials():
        if np.any(np.imag(material.eps_tensor(wavelength)) != 0) or \
                np.any(np.imag(material.mu_tensor(wavelength)) != 0):
            return False
    return abs(np.imag(mode.neff)) <= loss_tolerance * abs(np.real(mode.neff))


def _solve_like(mode, solved: _Solved, wavelength: float) -> Solution:
    """The mode's own solve repeated at `wavelength` on the same window cells."""
    settings = dict(solved.settings)
    for key in ("wavelength", "structure", "grid", "step", "accuracy"):  # one solve, one grid
        settings.pop(key, None)
    settings["neff_guess"] = float(np.real(mode.neff)) + 1e-3
    return pipeline.run(check_request(solved.structure, wavelength, grid=solved.inner_grid,
                                      **settings))


def _best_match(mode, grid, found: Solution) -> complex:
    """The effective index of the mode of `found` that overlaps `mode` most."""
    if not found.modes:
        raise ValueError("group index by difference: the solve at the shifted wavelength "
                         "found no mode; use method='integral' or a smaller step_um")
    candidates = [dict(zip(_E + _H, m.fields)) for m in found.modes]
    scores = normalised_overlaps([_mode_fields(mode)], candidates, found.grid, grid)[0]
    k = int(np.argmax(scores))
    if scores[k] < 0.9:
        log.warning("group index by difference: the best match of the mode at the shifted "
                    "wavelength overlaps only %.3f with it", scores[k])
    return found.modes[k].neff


def _difference_route(mode, solved: _Solved, step_um: float) -> complex:
    wavelength = solved.wavelength
    neff_hi = _best_match(mode, solved.grid, _solve_like(mode, solved, wavelength + step_um))
    neff_lo = _best_match(mode, solved.grid, _solve_like(mode, solved, wavelength - step_um))
    slope = (neff_hi - neff_lo) / (2 * step_um)
    return complex(mode.neff - wavelength * slope)


def group_index(mode, method: str = "auto", *, step_um: float = 1e-3, mode_set=None):
    """Group index ng = c / vg = neff - lambda dneff/dlambda of a mode from `corvane.solve`.

    method: "integral" (energy over power flux, exact on the grid for lossless modes outside
    any PML; material dispersion included through d(omega eps)/d omega), "difference"
    (neff solved again at wavelength -/+ step_um micrometres on the same cells; complex for
    lossy modes, whose real part is the group index), or "auto" (the integral when it is
    exact, the difference otherwise).
    mode_set: the ModeSet the mode belongs to, whose settings (bend_radius, pml, symmetry,
    ...) both routes reuse; needed for modes of a bend unless the mode carries them.

    >>> modes = corvane.solve(corvane.strip(width=0.5, height=0.22), wavelength=1.55)  # doctest: +SKIP
    >>> corvane.group_index(modes[0], mode_set=modes)                                    # doctest: +SKIP
    4.18...
    """
    if method not in ("auto", "integral", "difference"):
        raise ValueError(f"method must be 'auto', 'integral' or 'difference', got {method!r}")
    if isinstance(step_um, bool) or not isinstance(step_um, (int, float)) or not step_um > 0:
        raise ValueError(f"step_um must be a positive wavelength step in micrometres, got {step_um!r}")
    solved = _solved(mode, mode_set)
    if method == "auto":
        method = "integral" if integral_route_is_exact(mode) else "difference"
    if method == "integral":
        return _integral_route(mode, solved)
    ng = _difference_route(mode, solved, step_um)
    return ng.real if ng.imag == 0 else ng


def _second_derivative(x: np.ndarray, y: np.ndarray) -> np.ndarray:
    """d2y/dx2 along axis 0 by the three-point stencil of uneven points; each end takes
    the stencil of its nearest interior point."""
    h1 = (x[1:-1] - x[:-2]).reshape((-1,) + (1,) * (y.ndim - 1))
    h2 = (x[2:] - x[1:-1]).reshape(h1.shape)
    inner = 2 * (y[:-2] / (h1 * (h1 + h2)) - y[1:-1] / (h1 * h2) + y[2:] / (h2 * (h1 + h2)))
    return np.concatenate([inner[:1], inner, inner[-1:]], axis=0)


def gvd_ps_per_nm_km(sweep_or_wavelengths, neff=None, *, group_index=None) -> np.ndarray:
    """Group-velocity dispersion D = -(lambda / c) d2neff / dlambda2 in ps / (nm km).

    Give a wavelength `Sweep` (uses its group index when it holds one, D = (1/c) dng/dlambda,
    else its neff), or wavelengths in micrometres with `neff` (points,) or (points, modes),
    or with `group_index=` arrays of the same shape. Derivatives are central differences on
    the (possibly uneven) wavelength points, one-sided at the ends. Returns an array of the
    shape of neff.

    >>> lam = np.linspace(1.5, 1.6, 11)
    >>> d = gvd_ps_per_nm_km(lam, 1.444 - 0.01 * (lam - 1.55) ** 2)
    >>> round(float(d[0]), 2), round(float(d[5]), 2)
    (100.07, 103.4)
    """
    if hasattr(sweep_or_wavelengths, "neff") and hasattr(sweep_or_wavelengths, "values"):
        sweep = sweep_or_wavelengths
        if getattr(sweep, "parameter", "wavelength") != "wavelength":
            raise ValueError("gvd_ps_per_nm_km needs a sweep over wavelength "
                             f"(this one sweeps {sweep.parameter!r})")
        wavelengths = np.asarray(sweep.values, dtype=float)
        ng = getattr(sweep, "group_index", None)
        if ng is not None and np.all(np.isfinite(ng)):
            group_index = np.real(ng)
        else:
            neff = np.real(sweep.neff)
    else:
        wavelengths = np.asarray(sweep_or_wavelengths, dtype=float)
    if wavelengths.ndim != 1 or len(wavelengths) < 3:
        raise ValueError("gvd_ps_per_nm_km needs at least 3 wavelengths (micrometres) in a 1-d array")
    scale = 1e12 / SPEED_OF_LIGHT  # (1/c) d/dlambda in um^-1 -> ps/(nm km)
    if group_index is not None:
        ng = np.real(np.asarray(group_index, dtype=complex))
        return scale * np.gradient(ng, wavelengths, axis=0, edge_order=2)
    if neff is None:
        raise TypeError("gvd_ps_per_nm_km needs neff= or group_index= along with the wavelengths")
    n = np.real(np.asarray(neff, dtype=complex))
    second = _second_derivative(wavelengths, n)
    shape = (-1,) + (1,) * (n.ndim - 1)
    return -scale * wavelengths.reshape(shape) * second
