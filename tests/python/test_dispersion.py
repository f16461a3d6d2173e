"""Group index by energy over flux against the derivative of neff, and the GVD formula.

The first group drives the native solver directly on point-sampled strips, so the
energy-flux form is checked against d(k0 neff)/dk0 of the very discrete problem it claims
to differentiate, on uniform, graded and half (mirror-wall) grids.
"""

import math

import numpy as np
import pytest

import corvane
from corvane import _core
from corvane.dispersion import component_weights, gvd_ps_per_nm_km, integral_group_index
from corvane.grid import Grid

COMPONENTS = ("ex", "ey", "ez", "hx", "hy", "hz")
N_CORE, N_CLAD = 3.48, 1.444
WIDTH, HEIGHT = 0.5, 0.22


def pairs(a):
    a = np.asarray(a, dtype=complex).ravel()
    return list(zip(a.real.tolist(), a.imag.tolist()))


def strip_tensors(grid):
    """eps (3, 3, nx, ny), each diagonal entry sampled at its own field's positions."""
    eps = np.zeros((3, 3, grid.nx, grid.ny), complex)
    for k, comp in enumerate(("ex", "ey", "ez")):
        X, Y = grid.positions(comp)
        core = (np.abs(X) < WIDTH / 2) & (np.abs(Y) < HEIGHT / 2)
        eps[k, k] = np.where(core, N_CORE**2, N_CLAD**2)
    mu = np.zeros_like(eps)
    for k in range(3):
        mu[k, k] = 1.0
    return eps, mu


def native_modes(grid, eps, mu, wavelength, pmc_x=False, num_modes=2):
    k0 = 2 * math.pi / wavelength
    out = _core.solve_diagonal_sparse_py(
        grid.nx, grid.ny, grid.dlf_x.tolist(), grid.dlf_y.tolist(), grid.dlb_x.tolist(),
        grid.dlb_y.tolist(), pmc_x, False, [pairs(eps[r, c]) for r in range(3) for c in range(3)],
        [pairs(mu[r, c]) for r in range(3) for c in range(3)], num_modes, 3.0, "+",
        derivative_scale=1 / k0)
    neffs = np.array([complex(*p) for p in out[0]])
    fields = [{c: np.array([complex(*p) for p in out[1][k][m]]).reshape(grid.nx, grid.ny)
               for k, c in enumerate(COMPONENTS)} for m in range(len(neffs))]
    return neffs, fields


GRIDS = {
    "uniform": (Grid(np.linspace(-1.0, 1.0, 41), np.linspace(-0.8, 0.8, 33)), False),
    "graded": (Grid(np.concatenate([np.linspace(-1.0, -0.25, 9)[:-1], np.linspace(-0.25, 0.25, 21)[:-1],
                                    np.linspace(0.25, 1.0, 7)]), np.linspace(-0.8, 0.8, 33)), False),
    "half, magnetic wall": (Grid(np.linspace(0.0, 1.0, 21), np.linspace(-0.8, 0.8, 33)), True),
    "half, electric wall": (Grid(np.linspace(0.0, 1.0, 21), np.linspace(-0.8, 0.8, 33)), False),
}


@pytest.mark.parametrize("name", GRIDS)
def test_energy_over_flux_is_the_derivative_of_the_discrete_neff(name):
    grid, pmc_x = GRIDS[name]
    eps, mu = strip_tensors(grid)
    lam, d = 1.55, 1e-3
    neff, fields = native_modes(grid, eps, mu, lam, pmc_x)
    hi, _ = native_modes(grid, eps, mu, lam + d, pmc_x)
    lo, _ = native_modes(grid, eps, mu, lam - d, pmc_x)
    for m in range(len(neff)):
        by_difference = (neff[m] - lam * (hi[m] - lo[m]) / (2 * d)).real
        by_integral = integral_group_index(fields=fields[m], grid=grid, eps=eps, mu=mu)
        assert by_integral == pytest.approx(by_difference, abs=2e-5), m
        assert by_integral > neff[m].real  # normal dispersion of a strip


def test_dual_cells_tile_the_window_and_halve_on_the_low_wall():
    grid = GRIDS["graded"][0]
    area = (grid.x_edges[-1] - grid.x_edges[0]) * (grid.y_edges[-1] - grid.y_edges[0])
    assert component_weights(grid, "hz").sum() == pytest.approx(area)
    # Edge samples: the first one owns half a cell inside the window, the span beyond the
    # last sample belongs to the (zero) wall sample that is not stored.
    wx = component_weights(grid, "ey")[:, 0] / grid.dlf_y[0]
    assert wx[0] == pytest.approx(grid.dlf_x[0] / 2)
    assert wx.sum() == pytest.approx(grid.x_centers[-1] - grid.x_edges[0])
    with pytest.raises(ValueError, match="component must be one of"):
        component_weights(grid, "e")


def test_material_dispersion_enters_through_d_omega_eps():
    """A homogeneous medium in a metal box: the material term scales ng by 1 - lambda n'/n."""
    grid, _ = GRIDS["uniform"]
    n, dn = 1.9, -0.05  # index and dn/dlambda (1/um) at 1.55 um
    lam = 1.55
    eps = np.zeros((3, 3, grid.nx, grid.ny), complex)
    d_omega_eps = np.zeros_like(eps)
    for k in range(3):
        eps[k, k] = n**2
        d_omega_eps[k, k] = n**2 - lam * 2 * n * dn
    mu = np.zeros_like(eps)
    for k in range(3):
        mu[k, k] = 1.0
    _, fields = native_modes(grid, eps, mu, lam, num_modes=1)
    plain = integral_group_index(fields=fields[0], grid=grid, eps=eps, mu=mu)
    dispersive = integral_group_index(fields=fields[0], grid=grid, eps=eps, mu=mu,
                                      d_omega_eps=d_omega_eps)
    # In a homogeneous lossless guide the electric and magnetic energies are equal, so
    # weighting the electric one by d(omega eps)/d omega / eps = 1 - 2 lambda dn / (n) scales
    # ng by 1 - lambda dn / n: ng = (n^2 / neff) (1 - lambda dn / n).
    assert dispersive - plain == pytest.approx(-lam * dn * plain / n, rel=1e-9)


def test_gvd_of_known_curves():
    lam = np.linspace(1.5, 1.6, 11)
    neff = 2.0 - 0.5 * (lam - 1.55) - 0.02 * (lam - 1.55) ** 2  # d2n/dlam2 = -0.04 / um^2
    d = gvd_ps_per_nm_km(lam, neff)
    expected = 0.04 * lam * 1e12 / 299792458.0
    np.testing.assert_allclose(d, expected, rtol=1e-9)
    ng = neff - lam * np.gradient(neff, lam, edge_order=2)
    np.testing.assert_allclose(gvd_ps_per_nm_km(lam, group_index=ng), expected, rtol=1e-6)
    both = gvd_ps_per_nm_km(lam, np.stack([neff, neff], axis=1))
    assert both.shape == (11, 2)
    with pytest.raises(ValueError, match="at least 3 wavelengths"):
        gvd_ps_per_nm_km([1.5, 1.6], [1.0, 1.1])


# --- through corvane.solve -------------------------------------------------------------------

def test_both_routes_agree_on_a_lossless_dispersive_strip():
    from corvane.geometry import strip
    from corvane.materials import silica, silicon

    modes = corvane.solve(strip(width=0.5, height=0.22, core=silicon, cladding=silica), 1.55,
                          num_modes=1, step=0.05, pml=0.4, neff_guess=2.6)
    mode = modes[0]
    by_integral = corvane.group_index(mode, "integral", mode_set=modes)
    by_difference = corvane.group_index(mode, "difference", mode_set=modes)
    assert abs(by_integral - by_difference) < 1e-4
    assert corvane.group_index(mode, mode_set=modes) == by_integral  # auto: lossless
    # Silicon's own dispersion adds about 0.1-0.3 to ng of a strip at 1.55 um.
    assert 3.9 < by_integral < 4.6
