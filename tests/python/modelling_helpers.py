"""Test helpers: a direct diagonal solve of a sampled structure, the exact modes of an
asymmetric slab and of a step-index fibre computed independently with scipy, and a leaky
SOI wire."""

from __future__ import annotations

import math

import numpy as np
from scipy import optimize, special

import corvane as cv
from corvane import _core
from corvane.grid import Grid
from corvane.sampling import sample_materials

COMPONENTS = ("ex", "ey", "ez", "hx", "hy", "hz")


def solve_sampled(structure, grid, wavelength, *, neff_guess, num_modes=1,
                  pmc=(False, False), averaging="tensor"):
    """(neffs (M,), fields {component: (M, nx, ny)}) of the diagonal solver, closed walls."""
    sampled = sample_materials(structure, grid, wavelength, averaging=averaging)
    k0 = 2 * math.pi / wavelength
    result = _core.solve_diagonal_sparse_py(
        grid.nx, grid.ny, grid.dlf_x.tolist(), grid.dlf_y.tolist(), grid.dlb_x.tolist(),
        grid.dlb_y.tolist(), bool(pmc[0]), bool(pmc[1]), sampled.flat("eps"),
        sampled.flat("mu"), num_modes, float(neff_guess), "+", derivative_scale=1.0 / k0,
    )
    neffs = np.array([complex(*p) for p in result[0]])
    fields = {
        name: np.array([[complex(*p) for p in mode] for mode in result[1][k]]).reshape(
            len(neffs), grid.nx, grid.ny)
        for k, name in enumerate(COMPONENTS)
    }
    return neffs, fields


def fibre_he11_on_quarter_window(*, n_core, n_clad, radius, wavelength, window, step,
                                  tensorial, neff_guess):
    """neff of HE11 (x polarised) of a fibre centred on the origin, solved on the quarter
    window [0, window]^2 with an electric wall on x = 0 and a magnetic wall on y = 0 on
    `Grid.auto` (cells growing to 4 steps). tensorial: keep the off-diagonal smoothed terms
    and use the tensorial solver. Wall-bound modes of the electric wall (Ey living on the
    wall column) are skipped."""
    fibre = cv.Structure([cv.Ellipse(center=(0, 0), radii=(radius, radius), material=n_core)],
                         background=n_clad)
    grid = Grid.auto(fibre, wavelength, step=step, max_step=4 * step, x=(0, window),
                     y=(0, window))
    sampled = sample_materials(fibre, grid, wavelength, off_diagonal=tensorial)
    native = _core.solve_tensorial_sparse_py if tensorial else _core.solve_diagonal_sparse_py
    result = native(grid.nx, grid.ny, grid.dlf_x.tolist(), grid.dlf_y.tolist(),
                    grid.dlb_x.tolist(), grid.dlb_y.tolist(), False, True, sampled.flat("eps"),
                    sampled.flat("mu"), 3, neff_guess, "+",
                    derivative_scale=wavelength / (2 * math.pi))
    guided = []
    for k, pair in enumerate(result[0]):
        ex, ey = (np.abs(np.array([complex(*p) for p in result[1][c][k]])
                         .reshape(grid.nx, grid.ny)) ** 2 for c in (0, 1))
        if ey[0].sum() < 0.5 * (ex.sum() + ey.sum()):
            guided.append(complex(*pair).real)
    return max(guided)


def te_fraction(fields, m):
    ex = np.sum(np.abs(fields["ex"][m]) ** 2)
    ey = np.sum(np.abs(fields["ey"][m]) ** 2)
    return ex / (ex + ey)


def slab_neff(*, n_core, n_sub, n_cover, thickness, wavelength, polarization, order=0):
    """Exact effective index of an asymmetric slab mode (TE: E along the layers)."""
    k0 = 2 * math.pi / wavelength

    def f(neff):
        kappa = k0 * math.sqrt(n_core**2 - neff**2)
        gs = k0 * math.sqrt(neff**2 - n_sub**2)
        gc = k0 * math.sqrt(neff**2 - n_cover**2)
        rs = rc = 1.0
        if polarization == "TM":
            rs, rc = (n_core / n_sub) ** 2, (n_core / n_cover) ** 2
        return (kappa * thickness - math.atan(rs * gs / kappa) - math.atan(rc * gc / kappa)
                - order * math.pi)

    lo = max(n_sub, n_cover) * (1 + 1e-12)
    return optimize.brentq(f, lo, n_core * (1 - 1e-12), xtol=1e-15, rtol=1e-15)


def fibre_neff(*, n_core, n_clad, radius, wavelength, nu=1, bracket):
    """Effective index of a hybrid mode HE/EH_nu of a step-index fibre from the exact
    vector eigenvalue equation (Snyder and Love, eq. 12-8), inside `bracket`."""
    k0 = 2 * math.pi / wavelength
    r = (n_clad / n_core) ** 2

    def f(neff):
        u = radius * k0 * math.sqrt(n_core**2 - neff**2)
        w = radius * k0 * math.sqrt(neff**2 - n_clad**2)
        jj = special.jvp(nu, u) / (u * special.jv(nu, u))
        kk = special.kvp(nu, w) / (w * special.kv(nu, w))
        return (jj + kk) * (jj + r * kk) - nu**2 * (1 / u**2 + 1 / w**2) * (1 / u**2 + r / w**2)

    return optimize.brentq(f, *bracket, xtol=1e-15, rtol=1e-15)


def fitted_order(steps, errors) -> float:
    """Least-squares slope of log(error) against log(step)."""
    return float(np.polyfit(np.log(steps), np.log(np.abs(errors)), 1)[0])


def soi_wire(box: float) -> cv.Structure:
    """A silicon wire on a thin buried oxide over a silicon substrate: it leaks downwards."""
    return cv.Structure([cv.Layer(y=(-math.inf, -box), material=3.48),
                         cv.Rectangle(center=(0, 0.11), size=(0.5, 0.22), material=3.48)],
                        background=1.444)
