"""How the prepared solve inputs show through the entry points: the omega requirement of
the PML, the derivative scale, the stretching and the cell areas of negative steps."""

import math

import numpy as np
import pytest

from corvane import _core

SOLVERS = {
    "diagonal": _core.solve_diagonal_sparse_py,
    "tensorial": _core.solve_tensorial_sparse_py,
}
UNKNOWNS_PER_CELL = {"diagonal": 2, "tensorial": 4}

WAVELENGTH = 1.55
K0 = 2 * math.pi / WAVELENGTH
OMEGA = 2 * math.pi * 299792458.0 / (WAVELENGTH * 1e-6)
OMEGA_TEXT = "omega is required when num_pml is nonzero"


def tuples(values):
    a = np.asarray(values, dtype=complex).ravel()
    return list(zip(a.real.tolist(), a.imag.tolist()))


def diagonal_tensor(values, n):
    diag = tuples(np.broadcast_to(np.asarray(values, dtype=complex), (n,)))
    zero = tuples(np.zeros(n))
    return [diag if k in (0, 4, 8) else zero for k in range(9)]


def neffs(result):
    return np.array([complex(*z) for z in result[0]])


class Strip:
    """A silicon-like strip in a lower-index cladding on a 2 x 1.5 um window."""

    h = 0.05
    nx, ny = 40, 30

    def __init__(self):
        x = (np.arange(self.nx) + 0.5) * self.h
        y = (np.arange(self.ny) + 0.5) * self.h
        core = (np.abs(x[:, None] - 1.0) < 0.25) & (np.abs(y[None, :] - 0.75) < 0.15)
        self.eps = np.where(core, 3.48**2, 1.444**2).ravel()

    def solve(self, solver, step_factor=1.0, **options):
        n = self.nx * self.ny
        sx, sy = [self.h * step_factor] * self.nx, [self.h * step_factor] * self.ny
        return SOLVERS[solver](self.nx, self.ny, sx, sy, sx, sy, False, False,
                               diagonal_tensor(self.eps, n), diagonal_tensor(1.0, n), 2, 2.5, "+",
                               **options)


TWO_CELLS = dict(nx=2, ny=1, dlf_x=[1.0, 1.0], dlf_y=[1.0], dlb_x=[1.0, 1.0], dlb_y=[1.0],
                pmc_x=False, pmc_y=False, eps_tensor=diagonal_tensor(4.0, 2),
                mu_tensor=diagonal_tensor(1.0, 2), num_modes=1, neff_guess=1.5, direction="+")


@pytest.mark.parametrize("solver", SOLVERS)
@pytest.mark.parametrize("layers", [dict(npml_x=1), dict(npml_y=3, dmin_pml_y=False),
                                    dict(npml_x=2, npml_y=2, dmin_pml_x=False)])
def test_layers_without_omega_fail(solver, layers):
    with pytest.raises(ValueError) as err:
        SOLVERS[solver](**TWO_CELLS, **layers)
    assert err.value.args == (OMEGA_TEXT,)


@pytest.mark.parametrize("solver", SOLVERS)
def test_tensor_checks_come_before_the_omega_check(solver):
    with pytest.raises(ValueError) as err:
        SOLVERS[solver](**{**TWO_CELLS, "mu_tensor": diagonal_tensor(1.0, 3)}, npml_x=1)
    assert err.value.args == ("tensor component length does not match grid shape",)


@pytest.mark.parametrize("solver", SOLVERS)
def test_without_layers_omega_and_pml_parameters_are_unused(solver):
    # A fixed start vector makes the two eigen solves identical, so the results must match
    # bit for bit.
    start = tuples(np.linspace(1.0, 2.0, UNKNOWNS_PER_CELL[solver] * 2) + 0.5j)
    plain = SOLVERS[solver](**TWO_CELLS, initial_vector=start)
    ignored = SOLVERS[solver](**TWO_CELLS, initial_vector=start, omega=0.0,
                              pml_sigma_max=math.nan, pml_order=-7, dmin_pml_x=False)
    assert plain == ignored


@pytest.mark.parametrize("solver", SOLVERS)
def test_derivative_scale_acts_as_a_length_unit(solver):
    # Scaling every derivative by 1/k0 is the same as measuring the steps in units of 1/k0.
    strip = Strip()
    scaled = neffs(strip.solve(solver, derivative_scale=1 / K0))
    rescaled = neffs(strip.solve(solver, step_factor=K0))
    assert np.all(scaled.real > 1.444)
    np.testing.assert_allclose(scaled, rescaled, rtol=0, atol=1e-9)


@pytest.mark.parametrize("solver", SOLVERS)
def test_zero_scale_leaves_only_the_material(solver):
    # Every derivative value becomes zero: neff^2 = eps mu in each cell, and the products
    # of the assembly drop the zeros, so only the material diagonal is stored.
    n = 6
    steps = [0.1] * 3
    result = SOLVERS[solver](3, 2, steps, steps[:2], steps, steps[:2], False, False,
                             diagonal_tensor(4.0, n), diagonal_tensor(1.0, n), 2, 1.9, "+",
                             derivative_scale=0.0)
    np.testing.assert_allclose(neffs(result), 2.0, rtol=1e-12)
    rows, stored = result[7], result[8]
    assert rows == UNKNOWNS_PER_CELL[solver] * n
    assert stored == UNKNOWNS_PER_CELL[solver] * n


@pytest.mark.parametrize("solver", SOLVERS)
def test_negative_steps_give_positive_areas_and_the_same_modes(solver):
    # The operators are quadratic in the differences, so flipping every step sign leaves
    # them unchanged; the cell areas are absolute values and pass the area check.
    strip = Strip()
    forward = neffs(strip.solve(solver, derivative_scale=1 / K0))
    flipped = neffs(strip.solve(solver, step_factor=-1.0, derivative_scale=1 / K0))
    np.testing.assert_allclose(flipped, forward, rtol=0, atol=1e-12)


def test_layers_barely_move_a_confined_mode_in_both_formulations():
    strip = Strip()
    pml = dict(npml_x=5, npml_y=5, omega=OMEGA, derivative_scale=1 / K0)
    closed = {s: neffs(strip.solve(s, derivative_scale=1 / K0)) for s in SOLVERS}
    open_ = {s: neffs(strip.solve(s, **pml)) for s in SOLVERS}
    for s in SOLVERS:
        # Metal walls give real indices; the stretched layers make them complex ...
        assert np.all(np.abs(closed[s].imag) < 1e-12)
        assert np.all(np.abs(open_[s].imag) > 1e-9)
        # ... while the modes, confined well inside the window, hardly move.
        np.testing.assert_allclose(open_[s], closed[s], rtol=0, atol=1e-4)
    np.testing.assert_allclose(open_["tensorial"], open_["diagonal"], rtol=0, atol=1e-9)
