"""Hostile calls into corvane._core end promptly, in bounded memory, with the documented
exception types: non-finite data, more modes than unknowns, sizes whose product overflows,
empty grids with a PML, and sequences whose length lies.

Calls that used to loop or exhaust memory run in a child process under an address-space
limit and a generous hang guard, so a regression fails the test instead of the machine."""

import json
import math
import os
import subprocess
import sys
import textwrap

import pytest

from corvane import _core

SOLVERS = [_core.solve_diagonal_sparse_py, _core.solve_tensorial_sparse_py]
NAN, INF = float("nan"), float("inf")
# AddressSanitizer reserves terabytes of address space, so no limit can apply under it.
UNDER_ASAN = "libasan" in os.environ.get("LD_PRELOAD", "")


def isotropic(value, n):
    diagonal = [(value, 0.0)] * n
    zero = [(0.0, 0.0)] * n
    return [diagonal if k in (0, 4, 8) else zero for k in range(9)]


def uniform_grid(nx, ny, h=0.1, eps=4.0):
    return dict(nx=nx, ny=ny, dlf_x=[h] * nx, dlf_y=[h] * ny, dlb_x=[h] * nx, dlb_y=[h] * ny,
                pmc_x=False, pmc_y=False, eps_tensor=isotropic(eps, nx * ny),
                mu_tensor=isotropic(1.0, nx * ny), neff_guess=1.5, direction="+")


def run_isolated(body, memory_mib=1024, hang_seconds=120):
    """Runs `body` in a fresh interpreter with `_core` imported and returns its stdout lines."""
    script = textwrap.dedent("""
        import os, resource
        from corvane import _core
        if {limit}:
            with open("/proc/self/statm") as f:
                used = int(f.read().split()[0]) * resource.getpagesize()
            resource.setrlimit(resource.RLIMIT_AS, (used + ({mib} << 20), resource.RLIM_INFINITY))

        def outcome(call):
            try:
                result = call()
            except BaseException as e:
                return f"{{type(e).__name__}}: {{e}}"
            return f"returned {{len(result[0])}} modes"
    """).format(limit=not UNDER_ASAN, mib=memory_mib) + textwrap.dedent(body)
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                            timeout=hang_seconds)
    assert result.returncode == 0, result.stderr
    return result.stdout.splitlines()


# Each with num_modes = 10**4 on a 2 x 1 grid: the native Arnoldi route with m = 10**4 + 2.
NON_FINITE_CASES = {
    "nan start vector": "dict(initial_vector=[(nan, 0.0)] * blocks * 2)",
    "nan backward step": "dict(dlb_x=[0.3, nan])",
    "zero backward steps": "dict(dlb_x=[0.0, 0.0], dlb_y=[0.0])",
    "derivative_scale -inf": "dict(derivative_scale=-inf)",
    "neff_guess -inf": "dict(neff_guess=-inf)",
    "neff_guess nan": "dict(neff_guess=nan)",
    "tiny omega with pml": "dict(npml_x=1, npml_y=1, omega=1e-300)",
}


@pytest.mark.parametrize("solver", ["diagonal", "tensorial"])
def test_non_finite_data_with_many_modes_ends_with_a_value_error(solver):
    # Once grew without bound: a NaN beta never stopped the Arnoldi process and nothing
    # capped its m = num_modes + 2 steps by the order of the operator.
    blocks = {"diagonal": 2, "tensorial": 4}[solver]
    lines = run_isolated(f"""
        nan, inf, blocks = float("nan"), float("inf"), {blocks}
        d, z = [(4.0, 0.0)] * 2, [(0.0, 0.0)] * 2
        eps = [d if k in (0, 4, 8) else z for k in range(9)]
        mu = [[(1.0, 0.0)] * 2 if k in (0, 4, 8) else z for k in range(9)]
        base = dict(nx=2, ny=1, dlf_x=[0.3, 0.3], dlf_y=[0.3], dlb_x=[0.3, 0.3], dlb_y=[0.3],
                    pmc_x=False, pmc_y=False, eps_tensor=eps, mu_tensor=mu, num_modes=10**4,
                    neff_guess=1.5, direction="+")
        solver = _core.solve_{solver}_sparse_py
        for name, overrides in {NON_FINITE_CASES!r}.items():
            print(name, "->", outcome(lambda: solver(**{{**base, **eval(overrides)}})))
    """)
    assert dict(line.split(" -> ") for line in lines) == {
        name: "ValueError: failed to compute Hessenberg eigenvalues" for name in NON_FINITE_CASES}


def test_non_finite_start_on_a_large_operator_stops_at_once():
    # krylov_dim far above the order lets m reach it (3200 steps); the first NaN solve must
    # end the process rather than orthogonalise NaN vectors for minutes.
    lines = run_isolated("""
        nx = ny = 40
        n = nx * ny
        d, z = [(4.0, 0.0)] * n, [(0.0, 0.0)] * n
        eps = [d if k in (0, 4, 8) else z for k in range(9)]
        mu = [[(1.0, 0.0)] * n if k in (0, 4, 8) else z for k in range(9)]
        steps = [0.1] * nx
        call = lambda: _core.solve_diagonal_sparse_py(
            nx, ny, steps, steps, steps, steps, False, False, eps, mu, 1, 1.5, "+",
            krylov_dim=10**9, initial_vector=[(float("nan"), 0.0)] * (2 * n))
        print(outcome(call))
    """, hang_seconds=60)
    assert lines == ["ValueError: failed to compute Hessenberg eigenvalues"]


@pytest.mark.parametrize(
    "solver,nx,ny,num_modes",
    [("tensorial", 6, 5, 200), ("diagonal", 10, 10, 250)],
)
def test_more_modes_than_unknowns_costs_what_the_operator_order_does(solver, nx, ny, num_modes):
    # Took 10-73 s: one dense SVD of a Hessenberg matrix of about the operator's order per
    # Ritz value. The eigenpairs of the whole Krylov space come back, each with a residual
    # measured against the operator itself, and the guided end agrees with the ARPACK
    # route asked for as many modes as it can give.
    order = {"diagonal": 2, "tensorial": 4}[solver] * nx * ny
    lines = run_isolated(f"""
        import json
        nx, ny, n = {nx}, {ny}, {nx * ny}
        d, z = [(4.0, 0.0)] * n, [(0.0, 0.0)] * n
        eps = [d if k in (0, 4, 8) else z for k in range(9)]
        mu = [[(1.0, 0.0)] * n if k in (0, 4, 8) else z for k in range(9)]
        sx, sy = [0.1] * nx, [0.1] * ny
        solve = lambda modes: _core.solve_{solver}_sparse_py(
            nx, ny, sx, sy, sx, sy, False, False, eps, mu, modes, 1.5, "+")
        many, arpack = solve({num_modes}), solve({order - 2})
        print(json.dumps([many[0], many[2], many[6], arpack[0], arpack[6]]))
    """, hang_seconds=30)
    neffs, residuals, backend, arpack_neffs, arpack_backend = json.loads(lines[0])
    assert backend == "native_shift_invert" and arpack_backend == "umfpack_arpack"
    # Degenerate eigenvalues of the uniform box shrink the Krylov space below the order.
    assert order // 2 < len(neffs) <= order
    assert max(residuals) < 1e-9
    for (re, im), (re_arpack, im_arpack) in zip(neffs[:2], arpack_neffs[:2]):
        assert math.hypot(re - re_arpack, im - im_arpack) < 1e-8


@pytest.mark.parametrize("solver", SOLVERS, ids=lambda f: f.__name__)
@pytest.mark.parametrize("nx,ny", [(2**63 + 1, 2), (2**32, 2**32), (2**64 - 1, 2**64 - 1)])
def test_grid_size_product_beyond_64_bits_is_refused(solver, nx, ny):
    # The product once wrapped modulo 2^64 (to 2, 0 and 1 here), passed the tensor check
    # with a tensor of that length and failed later with MemoryError, or solved nothing.
    wrapped = (nx * ny) % 2**64
    call = dict(uniform_grid(1, 1), nx=nx, ny=ny, num_modes=1,
                eps_tensor=isotropic(4.0, wrapped), mu_tensor=isotropic(1.0, wrapped),
                dlf_x=[], dlb_x=[], dlf_y=[0.1], dlb_y=[0.1])
    with pytest.raises(ValueError) as err:
        solver(**call)
    assert err.value.args == ("tensor component length does not match grid shape",)


@pytest.mark.parametrize("solver", SOLVERS, ids=lambda f: f.__name__)
@pytest.mark.parametrize("axis", ["x", "y"])
def test_empty_grid_with_pml_does_no_work_along_the_other_axis(solver, axis):
    # 2^40 cells along one axis, none along the other: once 16 TiB of stretch factors.
    other = "y" if axis == "x" else "x"
    call = dict(uniform_grid(1, 1), num_modes=1, eps_tensor=[[]] * 9, mu_tensor=[[]] * 9,
                omega=1.0, **{f"n{axis}": 2**40, f"n{other}": 0, f"npml_{axis}": 3,
                              f"dlf_{other}": [], f"dlb_{other}": []})
    result = solver(**call)
    assert result[0] == [] and result[1] == [[]] * 6
    assert result[6:] == ("sparse_shift_invert", 0, 0)


@pytest.mark.parametrize("solver", SOLVERS, ids=lambda f: f.__name__)
def test_empty_grid_with_pml_keeps_the_missing_step_fault(solver):
    call = dict(uniform_grid(1, 1), nx=0, ny=5, num_modes=1, eps_tensor=[[]] * 9,
                mu_tensor=[[]] * 9, omega=1.0, npml_y=1, dlf_x=[], dlb_x=[], dlb_y=[])
    with pytest.raises(_core.InternalError):
        solver(**call)


class LyingLength:
    """A sequence whose __len__ claims 2**33 items while it yields only `items`."""

    def __init__(self, items):
        self.items = list(items)

    def __len__(self):
        return 2**33

    def __getitem__(self, i):
        return self.items[i]


@pytest.mark.parametrize("solver", SOLVERS, ids=lambda f: f.__name__)
def test_lying_length_is_only_a_hint(solver):
    # The converter reserved 2^33 items on the word of __len__ and raised MemoryError.
    call = dict(uniform_grid(3, 2), num_modes=1)
    n = 6
    start = [(math.sin(0.37 * j), math.cos(0.53 * j)) for j in range(1, 4 * n + 1)]
    if solver is _core.solve_diagonal_sparse_py:
        start = start[: 2 * n]
    honest = solver(**call, initial_vector=start)
    lying = solver(**dict(call, dlf_x=LyingLength(call["dlf_x"]),
                          eps_tensor=LyingLength(LyingLength(c) for c in call["eps_tensor"])),
                   initial_vector=LyingLength(start))
    assert lying[0] == honest[0]
    assert lying[1] == honest[1]
