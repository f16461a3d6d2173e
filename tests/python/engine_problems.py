"""Small solve inputs shared by the engine tests: a silicon strip in silica with a PML, and
the conversion of numpy inputs to the plain sequences corvane._core takes."""

from __future__ import annotations

import math

import numpy as np

WAVELENGTH = 1.55  # um
N_CORE, N_CLAD = 3.48, 1.444
WIDTH, HEIGHT = 2.0, 1.5  # window, um
CORE_WIDTH, CORE_HEIGHT = 0.5, 0.22
PML = 0.2  # um
C0 = 299792458.0


def fill_fraction(edges, lo, hi):
    return (np.clip(edges[1:], lo, hi) - np.clip(edges[:-1], lo, hi)) / np.diff(edges)


def diagonal_tensor(values, n):
    t = np.zeros((9, n), dtype=complex)
    t[[0, 4, 8]] = np.broadcast_to(np.asarray(values, dtype=complex).ravel(), (3, n))
    return t


def strip(nx, *, num_modes=3, pml=True, wavelength=WAVELENGTH, half=False):
    """The 0.5 x 0.22 um strip centred in the window; `half` keeps x >= 0 only (the caller
    picks the wall with pmc_x)."""
    ny = 3 * nx // 4
    h = WIDTH / nx
    k0 = 2 * math.pi / wavelength
    x0 = WIDTH / 2 if half else 0.0
    cells_x = nx // 2 if half else nx
    n = cells_x * ny
    fx = fill_fraction(np.linspace(x0, WIDTH, cells_x + 1), (WIDTH - CORE_WIDTH) / 2, (WIDTH + CORE_WIDTH) / 2)
    fy = fill_fraction(np.linspace(0, HEIGHT, ny + 1), (HEIGHT - CORE_HEIGHT) / 2, (HEIGHT + CORE_HEIGHT) / 2)
    eps = N_CLAD**2 + (N_CORE**2 - N_CLAD**2) * np.outer(fx, fy)
    kw = dict(
        nx=cells_x, ny=ny, dlf_x=np.full(cells_x, h), dlf_y=np.full(ny, h),
        dlb_x=np.full(cells_x, h), dlb_y=np.full(ny, h), pmc_x=False, pmc_y=False,
        eps_tensor=diagonal_tensor(eps, n), mu_tensor=diagonal_tensor(1.0, n),
        num_modes=num_modes, neff_guess=N_CORE - 0.8, direction="+", derivative_scale=1 / k0,
    )
    if pml:
        npml = round(PML / h)
        kw.update(npml_x=npml, npml_y=npml, pml_sigma_max=8 * h * k0 * N_CLAD,
                  omega=2 * math.pi * C0 / (wavelength * 1e-6))
        if half:
            kw.update(dmin_pml_x=False)
    return kw


def tuples(values):
    a = np.asarray(values, dtype=complex).ravel()
    return list(zip(a.real.tolist(), a.imag.tolist()))


def core_arguments(kw):
    """The same inputs as corvane._core takes them."""
    k = dict(kw)
    k["eps_tensor"] = [tuples(row) for row in np.asarray(kw["eps_tensor"]).reshape(9, -1)]
    k["mu_tensor"] = [tuples(row) for row in np.asarray(kw["mu_tensor"]).reshape(9, -1)]
    for name in ("dlf_x", "dlf_y", "dlb_x", "dlb_y"):
        k[name] = [float(v) for v in kw[name]]
    if k.get("initial_vector") is not None:
        k["initial_vector"] = tuples(k["initial_vector"])
    return k


def as_array(pairs):
    a = np.asarray(pairs, dtype=float)
    return a[..., 0] + 1j * a[..., 1]
