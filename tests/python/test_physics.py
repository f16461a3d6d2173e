"""Physics checks against closed-form results.

Conventions, read off the field reconstruction: Hz = -i (Dx Ey - Dy Ex) / (Z0 mu_zz) is
Faraday's law curl E = +i omega mu H, so fields carry the time factor exp(-i omega t);
Ez = +i (Dx eps_xx Ex + Dy eps_yy Ey) / (neff eps_zz) is Gauss's law with d/dz = +i k0 neff.
A forward mode is therefore exp(i (k0 neff z - omega t)). Under exp(-i omega t) an absorbing
material has Im(eps) > 0, and a forward mode decays along +z, as exp(-k0 Im(neff) z),
exactly when Im(neff) > 0.
"""

import math

import numpy as np
import pytest

from corvane import _core

SOLVERS = {
    "diagonal": _core.solve_diagonal_sparse_py,
    "tensorial": _core.solve_tensorial_sparse_py,
}
WAVELENGTH = 1.0  # um
K0 = 2 * math.pi / WAVELENGTH
BOX_A, BOX_B = 2.0, 1.3  # um
Z0 = 376.7303136668535  # ohm


def tuples(values):
    a = np.asarray(values, dtype=complex).ravel()
    return list(zip(a.real.tolist(), a.imag.tolist()))


def as_array(pairs):
    if not pairs:
        return np.zeros(0, dtype=complex)
    a = np.asarray(pairs, dtype=float)
    return a[..., 0] + 1j * a[..., 1]


def diagonal_tensor(xx, yy, zz, n):
    components = [np.zeros(n)] * 9
    components[0], components[4], components[8] = (
        np.broadcast_to(np.asarray(v, dtype=complex), (n,)) for v in (xx, yy, zz)
    )
    return [tuples(c) for c in components]


def solve_box(solver, h, eps=1.0, num_modes=10, neff_guess=0.99, pmc=(False, False),
              eps_diagonal=None, direction="+"):
    """Modes of the BOX_A x BOX_B box (walls at both edges of each axis) on a uniform grid."""
    nx, ny = round(BOX_A / h), round(BOX_B / h)
    n = nx * ny
    xx = yy = zz = eps if eps_diagonal is None else None
    if eps_diagonal is not None:
        xx, yy, zz = eps_diagonal
    steps_x, steps_y = [h] * nx, [h] * ny
    result = SOLVERS[solver](
        nx, ny, steps_x, steps_y, steps_x, steps_y, pmc[0], pmc[1],
        diagonal_tensor(xx, yy, zz, n), diagonal_tensor(1.0, 1.0, 1.0, n),
        num_modes, neff_guess, direction, derivative_scale=1 / K0,
    )
    return result, nx, ny


def distinct(values, tol=1e-9):
    """Values in descending real part with near-equal ones merged (degenerate pairs)."""
    out = []
    for v in sorted(values, key=lambda z: -z.real):
        if not out or abs(v - out[-1]) > tol:
            out.append(v)
    return np.array(out)


def hollow_guide_indices(pmc_x=False, pmc_y=False, count=4):
    """Distinct analytic indices sqrt(1 - (kx/k0)^2 - (ky/k0)^2) of the hollow box.

    A magnetic low wall is a symmetry plane of the box doubled across it: the modes are
    those of the doubled width with an odd number of half waves, kx = m pi / (2a), m odd.
    """
    values = set()
    for m in range(8):
        for n in range(8):
            if (m, n) == (0, 0) or (pmc_x and m % 2 == 0) or (pmc_y and n % 2 == 0):
                continue
            kx = m * WAVELENGTH / ((4 if pmc_x else 2) * BOX_A)
            ky = n * WAVELENGTH / ((4 if pmc_y else 2) * BOX_B)
            if kx**2 + ky**2 < 1:
                values.add(round(math.sqrt(1 - kx**2 - ky**2), 12))
    return np.array(sorted(values, reverse=True)[:count])


def physical(neffs):
    """Drops the solutions bound to the electric low walls: their tangential samples stay
    unknowns of the discrete problem and carry neff = sqrt(eps mu) = 1 exactly here."""
    return np.array([v for v in distinct(neffs) if abs(v - 1.0) > 1e-9])


@pytest.mark.parametrize("solver", SOLVERS)
@pytest.mark.parametrize("pmc", [(False, False), (True, False), (True, True)],
                         ids=["electric", "magnetic_x", "magnetic_xy"])
def test_hollow_metal_guide_converges_to_analytic_modes(solver, pmc):
    expected = hollow_guide_indices(*pmc)
    errors = []
    for h in (0.1, 0.05):
        (neffs, *_), _, _ = solve_box(solver, h, num_modes=10, pmc=pmc)
        found = physical(as_array(neffs))[: len(expected)]
        assert len(found) == len(expected)
        assert np.all(np.abs(found.imag) < 1e-9)
        errors.append(np.abs(found.real - expected))
    coarse, fine = errors
    assert coarse.max() < 5e-3
    # Second order: halving the step divides every error by about four.
    np.testing.assert_allclose(coarse / fine, 4.0, rtol=0.15)


def test_tensorial_solver_agrees_with_diagonal_solver_on_diagonal_materials():
    h = 0.1
    nx, ny = round(BOX_A / h), round(BOX_B / h)
    x = (np.arange(nx) + 0.5) * h
    y = (np.arange(ny) + 0.5) * h
    core = ((np.abs(x[:, None] - 1.0) < 0.45) & (np.abs(y[None, :] - 0.65) < 0.25)).ravel()
    # A uniaxial-like core with three different diagonal entries.
    eps_diagonal = tuple(np.where(core, v, 1.0) for v in (4.0, 3.0, 3.5))
    found = {}
    for solver in SOLVERS:
        (neffs, *_rest), _, _ = solve_box(solver, h, num_modes=4, neff_guess=1.8,
                                          eps_diagonal=eps_diagonal)
        found[solver] = as_array(neffs)
    assert np.all(found["diagonal"].real > 1.0)
    np.testing.assert_allclose(found["tensorial"], found["diagonal"], rtol=0, atol=1e-8)


@pytest.mark.parametrize("solver", SOLVERS)
def test_uniformly_lossy_filling_follows_the_dispersion_relation(solver):
    """With a uniform filling neff^2 = eps - (kc / k0)^2, and the discrete cutoff kc is that
    of the empty box on the same grid."""
    h = 0.1
    eps = 2.25 + 0.02j
    (empty, *_), _, _ = solve_box(solver, h, num_modes=10, neff_guess=0.99)
    (lossy, *_), _, _ = solve_box(solver, h, eps=eps, num_modes=4, neff_guess=1.45)
    empty_indices = physical(as_array(empty))
    lossy_indices = distinct(as_array(lossy))
    predicted = np.sqrt(eps - (1 - empty_indices**2))
    for value in lossy_indices:
        assert np.min(np.abs(predicted - value)) < 1e-10 or abs(value - np.sqrt(eps)) < 1e-10
    assert np.all(lossy_indices.imag > 0)


@pytest.mark.parametrize("solver", SOLVERS)
def test_lossy_core_gives_a_decaying_forward_mode(solver):
    """A small Im(eps) = d in the core shifts the index by first-order perturbation theory,
    Im(neff) = d * integral_core |E|^2 / (2 Z0 Re integral (E x H*)_z), which is positive:
    the forward mode decays. This also checks the scale of Ez and of H (through Z0)."""
    h = 0.1
    nx, ny = round(BOX_A / h), round(BOX_B / h)
    x = (np.arange(nx) + 0.5) * h
    y = (np.arange(ny) + 0.5) * h
    core = ((np.abs(x[:, None] - 1.0) < 0.45) & (np.abs(y[None, :] - 0.65) < 0.25)).ravel()
    loss = 0.01
    (lossless, fields, *_), _, _ = solve_box(solver, h, eps=np.where(core, 4.0, 1.0),
                                             num_modes=1, neff_guess=1.9)
    (lossy, *_), _, _ = solve_box(solver, h, eps=np.where(core, 4.0 + 1j * loss, 1.0),
                                  num_modes=1, neff_guess=1.9)
    lossless, lossy = as_array(lossless)[0], as_array(lossy)[0]
    assert lossless.real > 1.5 and abs(lossless.imag) < 1e-10

    ex, ey, ez, hx, hy, _ = (as_array(c)[0] for c in fields)
    power = h * h * np.sum(ex * np.conj(hy) - ey * np.conj(hx)).real
    electric = np.abs(ex) ** 2 + np.abs(ey) ** 2 + np.abs(ez) ** 2
    predicted = loss * h * h * np.sum(electric * core) / (2 * Z0 * power)
    assert lossy.imag > 0
    assert lossy.imag == pytest.approx(predicted, rel=1e-4)
    # The real part moves only to second order in the loss.
    assert abs(lossy.real - lossless.real) < 1e-4


@pytest.mark.parametrize("solver", SOLVERS)
def test_power_flows_along_the_chosen_direction(solver):
    """The phase-fixed power sum of a lossless propagating mode is +1 forward, -1 backward."""
    h = 0.1
    for direction, sign in (("+", 1.0), ("-", -1.0)):
        (neffs, fields, *_), nx, ny = solve_box(solver, h, num_modes=3, neff_guess=0.95,
                                                direction=direction)
        ex, ey, _, hx, hy, _ = (as_array(c) for c in fields)
        power = h * h * np.sum(ex * np.conj(hy) - ey * np.conj(hx), axis=1)
        np.testing.assert_allclose(power, sign, atol=1e-10)
