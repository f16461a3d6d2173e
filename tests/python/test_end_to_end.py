"""Whole solves through corvane._core: result layout, direction, normalisation."""

import math

import numpy as np
import pytest

from corvane import _core

SOLVERS = {
    "diagonal": _core.solve_diagonal_sparse_py,
    "tensorial": _core.solve_tensorial_sparse_py,
}
# Unknowns per grid cell of each formulation.
BLOCKS = {"diagonal": 2, "tensorial": 4}


def tuples(values):
    a = np.asarray(values, dtype=complex).ravel()
    return list(zip(a.real.tolist(), a.imag.tolist()))


def isotropic(values, n):
    """Flat nine-component tensor with `values` on the diagonal."""
    diag = tuples(np.broadcast_to(np.asarray(values, dtype=complex), (n,)))
    zero = tuples(np.zeros(n))
    return [diag if k in (0, 4, 8) else zero for k in range(9)]


def as_array(pairs):
    a = np.asarray(pairs, dtype=float)
    return a[..., 0] + 1j * a[..., 1]


def start_vector(length):
    """A fixed start vector makes repeated ARPACK runs identical."""
    j = np.arange(1, length + 1)
    return tuples(np.sin(0.37 * j) + 1j * np.cos(0.53 * j))


def solve_uniform_grid(solver, nx, ny, h, eps, num_modes, neff_guess, direction="+", **options):
    n = nx * ny
    steps_x, steps_y = [h] * nx, [h] * ny
    return SOLVERS[solver](
        nx, ny, steps_x, steps_y, steps_x, steps_y, False, False,
        isotropic(eps, n), isotropic(1.0, n), num_modes, neff_guess, direction, **options,
    )


def strip_grid(h):
    """A silicon-like strip in a lower-index cladding on a 2 x 1.5 um window."""
    nx, ny = round(2.0 / h), round(1.5 / h)
    x = (np.arange(nx) + 0.5) * h
    y = (np.arange(ny) + 0.5) * h
    core = (np.abs(x[:, None] - 1.0) < 0.25) & (np.abs(y[None, :] - 0.75) < 0.15)
    eps = np.where(core, 3.48**2, 1.444**2)
    return nx, ny, eps.ravel()


@pytest.mark.parametrize("solver", SOLVERS)
def test_one_cell_of_eps_four_has_index_two(solver):
    neffs, fields, residuals, powers, overlaps, cross, backend, rows, nnz = solve_uniform_grid(
        solver, 1, 1, 1.0, 4.0, num_modes=1, neff_guess=1.9
    )
    assert len(neffs) == 1
    assert neffs[0][0] == pytest.approx(2.0, abs=1e-12)
    assert neffs[0][1] == pytest.approx(0.0, abs=1e-12)
    assert rows == BLOCKS[solver]
    # Empty derivative matrices leave only the material terms: one entry per unknown.
    assert nnz == BLOCKS[solver]
    # Two unknowns are too few for ARPACK (it needs num_modes + 2), four are enough.
    assert backend == ("native_shift_invert" if solver == "diagonal" else "umfpack_arpack")
    assert residuals[0] < 1e-12
    assert powers[0] == pytest.approx(1.0, abs=1e-14)
    assert cross == 0.0
    assert [len(component) for component in fields] == [1] * 6
    assert all(len(component[0]) == 1 for component in fields)


@pytest.mark.parametrize("solver", SOLVERS)
def test_empty_grid_returns_the_empty_layout(solver):
    result = SOLVERS[solver](0, 0, [], [], [], [], False, False, isotropic(1.0, 0),
                             isotropic(1.0, 0), 1, 1.0, "+")
    assert result == ([], [[], [], [], [], [], []], [], [], [], 0.0, "sparse_shift_invert", 0, 0)


@pytest.mark.parametrize("solver", SOLVERS)
def test_modes_are_ordered_unit_power_and_lorentz_orthogonal(solver):
    h = 0.1
    nx, ny, eps = strip_grid(h)
    n = nx * ny
    neffs, fields, residuals, powers, overlaps, cross, backend, rows, nnz = solve_uniform_grid(
        solver, nx, ny, h, eps, num_modes=4, neff_guess=2.6,
        derivative_scale=1.55 / (2 * math.pi), npml_x=3, npml_y=3,
        pml_sigma_max=8 * h * (2 * math.pi / 1.55) * 1.444,
        omega=2 * math.pi * 299792458.0 / 1.55e-6,
    )
    assert len(neffs) == 4
    assert rows == BLOCKS[solver] * n
    assert backend in ("umfpack_arpack", "arpack", "native_shift_invert")
    neff = as_array(neffs)
    assert list(neff.real) == sorted(neff.real, reverse=True)
    # The fundamental mode of a strip of this size lies well above the cladding index.
    assert 2.0 < neff[0].real < 3.0
    assert max(residuals) < 1e-8

    ex, ey, ez, hx, hy, hz = (as_array(component) for component in fields)
    assert all(c.shape == (4, n) for c in (ex, ey, ez, hx, hy, hz))
    area = h * h
    power_sums = area * np.sum(ex * np.conj(hy) - ey * np.conj(hx), axis=1)
    np.testing.assert_allclose(np.abs(power_sums), 1.0, atol=1e-12)
    np.testing.assert_allclose(powers, np.abs(power_sums), atol=1e-12)
    cross_sums = area * (ex @ hy.T - ey @ hx.T)
    lorentz = 0.5 * (cross_sums + cross_sums.T)
    np.testing.assert_allclose(as_array(overlaps), np.diag(lorentz), atol=1e-12)
    off_diagonal = np.abs(lorentz[~np.eye(4, dtype=bool)])
    assert off_diagonal.max() < 1e-10
    assert cross < 1e-10
    # The largest electric entry of every mode is real and positive.
    for k in range(4):
        electric = np.concatenate([ex[k], ey[k], ez[k]])
        z = electric[np.argmax(np.abs(electric))]
        assert z.real > 0 and abs(z.imag) < 1e-12 * z.real


@pytest.mark.parametrize("solver", SOLVERS)
def test_backward_direction_negates_ez_hx_hy(solver):
    """The operator and the eigen solve do not depend on the direction, and normalisation
    and orthogonalisation commute with negating (ez, hx, hy): only the phase step can
    differ, by a factor -1 when a mode's largest electric entry sits in ez."""
    h, nx, ny = 0.1, 20, 13
    n = nx * ny
    common = dict(num_modes=6, neff_guess=0.3, derivative_scale=1 / (2 * math.pi),
                  initial_vector=start_vector(BLOCKS[solver] * n))
    forward = solve_uniform_grid(solver, nx, ny, h, 1.0, direction="+", **common)
    backward = solve_uniform_grid(solver, nx, ny, h, 1.0, direction="-", **common)
    other = solve_uniform_grid(solver, nx, ny, h, 1.0, direction="", **common)

    assert backward[0] == forward[0]
    assert backward[2] == forward[2]
    assert other[:6] == forward[:6]
    f = [as_array(component) for component in forward[1]]
    b = [as_array(component) for component in backward[1]]
    negated = (1, 1, -1, -1, -1, 1)
    phase_in_ez = []
    for k in range(len(forward[0])):
        electric = np.concatenate([f[0][k], f[1][k], f[2][k]])
        in_ez = np.argmax(np.abs(electric) ** 2) >= 2 * n
        phase_in_ez.append(in_ez)
        sign = -1.0 if in_ez else 1.0
        for c in range(6):
            np.testing.assert_allclose(b[c][k], sign * negated[c] * f[c][k], rtol=0, atol=1e-12)
    # This closed hollow guide near cutoff has modes of both kinds.
    assert any(phase_in_ez) and not all(phase_in_ez)


@pytest.mark.parametrize("solver", SOLVERS)
def test_shift_follows_the_formulation(solver):
    """The diagonal solver shifts by -guess^2 (the sign of the guess does not matter); the
    tensorial one by the guess itself, so a negative guess finds backward modes."""
    h, nx, ny = 0.1, 20, 13
    n = nx * ny
    common = dict(num_modes=2, derivative_scale=1 / (2 * math.pi),
                  initial_vector=start_vector(BLOCKS[solver] * n))
    plus = as_array(solve_uniform_grid(solver, nx, ny, h, 2.25, neff_guess=1.45, **common)[0])
    minus = as_array(solve_uniform_grid(solver, nx, ny, h, 2.25, neff_guess=-1.45, **common)[0])
    assert np.all(plus.real > 1.4)
    if solver == "diagonal":
        np.testing.assert_array_equal(minus, plus)
    else:
        np.testing.assert_allclose(minus, -plus[::-1], atol=1e-10)


@pytest.mark.parametrize("solver", SOLVERS)
def test_bad_cell_areas_fail_before_solving(solver):
    steps = [1.0, 0.0]
    with pytest.raises(ValueError) as err:
        SOLVERS[solver](2, 1, steps, [1.0], steps, [1.0], False, False, isotropic(1.0, 2),
                        isotropic(1.0, 2), 1, 1.0, "+")
    assert str(err.value) == "cell areas must be finite and positive"
    with pytest.raises(ValueError) as err:
        SOLVERS[solver](2, 1, [1.0, 1.0], [], [1.0, 1.0], [1.0], False, False,
                        isotropic(1.0, 2), isotropic(1.0, 2), 1, 1.0, "+")
    assert str(err.value) == "cell area vector length 0 does not match grid size 2"
