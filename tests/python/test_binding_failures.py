"""How native failures reach Python: error texts as ValueError, broken invariants as the
dedicated BaseException subclass, exhausted memory as MemoryError with the process intact."""

import subprocess
import sys

import pytest

from corvane import _core

SOLVERS = [_core.solve_diagonal_sparse_py, _core.solve_tensorial_sparse_py]
ONE_CELL = [[(1.0, 0.0)] for _ in range(9)]
BASE = dict(nx=1, ny=1, dlf_x=[1.0], dlf_y=[1.0], dlb_x=[1.0], dlb_y=[1.0], pmc_x=False,
            pmc_y=False, eps_tensor=ONE_CELL, mu_tensor=ONE_CELL, num_modes=1, neff_guess=1.5,
            direction="+")


@pytest.mark.parametrize("solver", SOLVERS, ids=lambda f: f.__name__)
@pytest.mark.parametrize(
    "overrides,text",
    [
        (dict(npml_y=1), "omega is required when num_pml is nonzero"),
        (dict(num_modes=0), "num_modes must be positive"),
        (dict(dlf_x=[0.0]), "cell areas must be finite and positive"),
        (dict(dlf_y=[1.0, 1.0]), "cell area vector length 2 does not match grid size 1"),
        (dict(mu_tensor=ONE_CELL * 2), "tensor must contain 9 flattened components"),
    ],
)
def test_error_text_is_a_plain_value_error(solver, overrides, text):
    with pytest.raises(ValueError) as err:
        solver(**{**BASE, **overrides})
    assert type(err.value) is ValueError
    assert err.value.args == (text,)
    assert err.value.__cause__ is None


@pytest.mark.parametrize("solver", SOLVERS, ids=lambda f: f.__name__)
def test_internal_error_escapes_exception_handlers(solver):
    # Step arrays shorter than the grid break an indexing invariant of the derivative build.
    short_steps = dict(BASE, nx=2, eps_tensor=[[(1.0, 0.0)] * 2] * 9,
                       mu_tensor=[[(1.0, 0.0)] * 2] * 9, dlf_x=[1.0])
    with pytest.raises(BaseException) as err:
        try:
            solver(**short_steps)
        except Exception:  # noqa: BLE001 - the point is that this handler does not fire
            pytest.fail("an internal error was caught as an Exception")
    assert type(err.value) is _core.InternalError
    assert len(err.value.args) == 1 and isinstance(err.value.args[0], str)
    assert err.value.args[0]
    # Nothing of the failed call lingers: the next call works.
    result = solver(**BASE)
    assert len(result) == 9


# Runs in a fresh process under an address-space limit, so that allocations fail for real.
MEMORY_SCRIPT = r"""
import resource, sys
from corvane import _core

def limit(extra_bytes):
    with open("/proc/self/statm") as f:
        size_pages = int(f.read().split()[0])
    current = size_pages * resource.getpagesize()
    resource.setrlimit(resource.RLIMIT_AS, (current + extra_bytes, resource.RLIM_INFINITY))

def expect_memory_error(**kwargs):
    try:
        _core.solve_diagonal_sparse_py(**kwargs)
    except MemoryError:
        return "MemoryError"
    except BaseException as e:
        return f"{type(e).__name__}: {e}"
    return "returned"

empty = [[] for _ in range(9)]
one = [[(1.0, 0.0)] for _ in range(9)]
base = dict(nx=1, ny=1, dlf_x=[1.0], dlf_y=[1.0], dlb_x=[1.0], dlb_y=[1.0], pmc_x=False,
            pmc_y=False, eps_tensor=one, mu_tensor=one, num_modes=1, neff_guess=1.5,
            direction="+")
case = sys.argv[1]
if case == "cell_areas":
    # nx * ny = 0 passes every check up to the cell areas, which still take
    # len(dlf_x) * len(dlf_y) = 1e10 doubles.
    steps = [1.0] * 100_000
    limit(1 << 30)
    huge = dict(base, nx=100_000, ny=0, dlf_x=steps, dlf_y=steps, dlb_x=steps, dlb_y=steps,
                eps_tensor=empty, mu_tensor=empty)
    outcome = expect_memory_error(**huge)
    # The same call with 1e5 areas gets past them: the failure above was theirs.
    print(expect_memory_error(**dict(huge, dlf_y=[1.0])))
elif case == "conversion":
    # dlf_x converts (400 MB); dlf_y no longer fits, and dlf_x must be released with the call.
    steps = [1.0] * 50_000_000
    limit(700 << 20)
    outcome = expect_memory_error(**dict(base, dlf_x=steps, dlf_y=steps))
    # Fits only if the 400 MB of the converted dlf_x were given back.
    block = bytearray(550 << 20)
    del block
print(outcome)
print(len(_core.solve_diagonal_sparse_py(**base)))
"""


@pytest.mark.needs_real_oom
@pytest.mark.parametrize(
    "case,printed",
    [
        ("cell_areas", ["ValueError: cell area vector length 100000 does not match grid size 0",
                        "MemoryError", "9"]),
        ("conversion", ["MemoryError", "9"]),
    ],
)
def test_allocation_failure_raises_memory_error(case, printed):
    result = subprocess.run([sys.executable, "-c", MEMORY_SCRIPT, case], capture_output=True,
                            text=True, timeout=300)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == printed
