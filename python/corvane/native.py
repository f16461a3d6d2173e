"""The one call into the native solver (`corvane.engine`) for the modelling API.

In: the cell edges of one grid, its wall types, eps and mu (3, 3, nx, ny) with the PML
already folded in, the number of modes and the effective index to centre the search on.
Out: the engine's `EngineResult` of numpy arrays (effective indices, stretched fields, residuals and
the engine's diagnostics).
"""

from __future__ import annotations

import math

import numpy as np

from corvane import engine


def steps_of(edges: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """Forward steps (cell widths) and backward steps (between cell centres) of cell edges."""
    dlf = np.diff(edges)
    centres = 0.5 * (edges[:-1] + edges[1:])
    dlb = np.empty_like(dlf)
    dlb[0] = dlf[0]
    dlb[1:] = np.diff(centres)
    return dlf, dlb


def run_native(*, tensorial: bool, x_edges: np.ndarray, y_edges: np.ndarray, pmc_x: bool,
               pmc_y: bool, eps: np.ndarray, mu: np.ndarray, num_modes: int, shift: float,
               wavelength: float, options: dict) -> engine.EngineResult:
    """Solve on one grid with the PML already folded into eps and mu (3, 3, nx, ny).

    `shift` is the effective index the eigen search centres on. Derivatives are scaled by
    1/k0 so the eigenvalues are effective indices.
    """
    nx, ny = eps.shape[2:]
    dlf_x, dlb_x = steps_of(x_edges)
    dlf_y, dlb_y = steps_of(y_edges)
    k0 = 2.0 * math.pi / wavelength
    options = dict(options)
    # At least 40, so that results stay as they are. It was set against 1,000-restart runs
    # by PML clusters (a basis of 32, 6 wanted pairs); their cause was pairs locked with a
    # residual bound just above the tolerance, on which the iteration now stops whatever
    # the basis size.
    options.setdefault("krylov_dim", max(40, 2 * num_modes + 8))
    # Sweep reuse (corvane.sweep): start vector and workspace of this sub-problem from the
    # earlier points, and the count of operator applications.
    warm = options.pop("warm_start", None)
    warm_key = (bool(pmc_x), bool(pmc_y), int(nx), int(ny), bool(tensorial))
    if warm is not None:
        options.update(warm.before(warm_key))
        shift = options.pop("shift", shift)
    solver = engine.solve_tensorial if tensorial else engine.solve_diagonal
    r = solver(nx=nx, ny=ny, dlf_x=dlf_x, dlf_y=dlf_y, dlb_x=dlb_x, dlb_y=dlb_y,
               pmc_x=pmc_x, pmc_y=pmc_y, eps_tensor=eps.reshape(9, nx * ny),
               mu_tensor=mu.reshape(9, nx * ny), num_modes=num_modes, neff_guess=shift,
               direction="+", derivative_scale=1.0 / k0, **options)
    if warm is not None:
        warm.after(warm_key, r)
    return r
