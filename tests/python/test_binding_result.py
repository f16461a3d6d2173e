"""Layout and Python types of the 9-tuple built from a solve result."""

import gc

import pytest

from corvane import _core

NX, NY = 3, 2
N = NX * NY


def diagonal_tensor(value):
    return [[(value, 0.0)] * N if k in (0, 4, 8) else [(0.0, 0.0)] * N for k in range(9)]


ARGS = dict(nx=NX, ny=NY, dlf_x=[0.1] * NX, dlf_y=[0.1] * NY, dlb_x=[0.1] * NX,
            dlb_y=[0.1] * NY, pmc_x=False, pmc_y=False, eps_tensor=diagonal_tensor(2.0),
            mu_tensor=diagonal_tensor(1.0), num_modes=2, neff_guess=1.2, direction="+")


def assert_complex(value):
    assert type(value) is tuple and len(value) == 2
    assert type(value[0]) is float and type(value[1]) is float


@pytest.mark.parametrize(
    "solver,unknowns",
    [(_core.solve_diagonal_sparse_py, 2 * N), (_core.solve_tensorial_sparse_py, 4 * N)],
    ids=["diagonal", "tensorial"],
)
def test_result_layout(solver, unknowns):
    result = solver(**ARGS)
    assert type(result) is tuple and len(result) == 9
    neffs, fields, residuals, powers, overlaps, cross, backend, rows, nnz = result
    modes = len(neffs)
    assert 1 <= modes <= 2
    assert type(neffs) is list
    for value in neffs + overlaps:
        assert_complex(value)
    assert type(fields) is list and len(fields) == 6
    for component in fields:
        assert type(component) is list and len(component) == modes
        for mode in component:
            assert type(mode) is list and len(mode) == N
            for value in mode:
                assert_complex(value)
    for per_mode in (residuals, powers, overlaps):
        assert type(per_mode) is list and len(per_mode) == modes
    assert all(type(x) is float for x in residuals + powers)
    assert type(cross) is float
    assert backend in ("umfpack_arpack", "arpack", "native_shift_invert")
    assert type(rows) is int and rows == unknowns
    assert type(nnz) is int and nnz > 0
    # Descending real part of the effective index.
    assert [z[0] for z in neffs] == sorted((z[0] for z in neffs), reverse=True)


def test_result_survives_garbage_collection():
    # The complex pairs are kept out of the collector; collecting must leave them intact.
    result = _core.solve_diagonal_sparse_py(**ARGS)
    snapshot = repr(result)
    gc.collect()
    assert repr(result) == snapshot
