"""Leak check of corvane._core: resident memory after 1,000 small solves and after 1,000
failing calls in one process, each phase measured from a warmed-up state.

Prints the growth per call of each phase in KiB and exits non-zero when either exceeds
1 KiB per call.

    python tests/fuzz/leak_check.py [--calls 1000] [--limit-kib 1.0]
"""

import argparse
import gc
import math
import resource
import sys
import time

from corvane import _core

PAGE_KIB = resource.getpagesize() / 1024


def resident_kib():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE_KIB


def isotropic(value, n):
    diagonal = [(value, 0.0)] * n
    zero = [(0.0, 0.0)] * n
    return [diagonal if k in (0, 4, 8) else zero for k in range(9)]


def grid(nx, ny, h=0.1):
    return dict(nx=nx, ny=ny, dlf_x=[h] * nx, dlf_y=[h] * ny, dlb_x=[h] * nx, dlb_y=[h] * ny,
                pmc_x=False, pmc_y=True, eps_tensor=isotropic(4.0, nx * ny),
                mu_tensor=isotropic(1.0, nx * ny), neff_guess=1.8, direction="+")


class LyingLength:
    def __init__(self, items):
        self.items = list(items)

    def __len__(self):
        return 2**33

    def __getitem__(self, i):
        return self.items[i]


def small_solves():
    """Calls that return modes: each route, PML, start vectors, both solvers."""
    base = grid(4, 3)
    start = [(math.sin(0.37 * j), math.cos(0.53 * j)) for j in range(1, 49)]
    return [
        lambda: _core.solve_diagonal_sparse_py(**base, num_modes=2),
        lambda: _core.solve_tensorial_sparse_py(**base, num_modes=2),
        lambda: _core.solve_diagonal_sparse_py(**base, num_modes=1, npml_x=1, npml_y=1,
                                               omega=1.2e15, initial_vector=start[:24]),
        lambda: _core.solve_tensorial_sparse_py(**base, num_modes=1, initial_vector=start),
        # num_modes above the order: the native Arnoldi route with Schur Ritz vectors.
        lambda: _core.solve_diagonal_sparse_py(**base, num_modes=40),
    ]


def failing_calls():
    """Calls that fail at every stage: binding, conversion, tensor check, solve inputs,
    eigen solution, internal errors, lying lengths."""
    base = grid(3, 2)
    nan = float("nan")
    return [
        (lambda: _core.solve_diagonal_sparse_py(**base), TypeError),
        (lambda: _core.solve_diagonal_sparse_py(**dict(base, dlf_x="0.1"), num_modes=1),
         TypeError),
        (lambda: _core.solve_tensorial_sparse_py(**base, num_modes=1,
                                                 initial_vector=[[1.0, 0.0]] * 24), TypeError),
        (lambda: _core.solve_diagonal_sparse_py(**dict(base, nx=-1), num_modes=1),
         OverflowError),
        (lambda: _core.solve_diagonal_sparse_py(**base, num_modes=1, pml_order=2**31),
         OverflowError),
        (lambda: _core.solve_tensorial_sparse_py(**dict(base, mu_tensor=isotropic(1.0, 5)),
                                                 num_modes=1), ValueError),
        (lambda: _core.solve_diagonal_sparse_py(**base, num_modes=1, npml_x=1), ValueError),
        (lambda: _core.solve_diagonal_sparse_py(**base, num_modes=0), ValueError),
        (lambda: _core.solve_tensorial_sparse_py(**base, num_modes=10**4,
                                                 initial_vector=[(nan, 0.0)] * 24), ValueError),
        (lambda: _core.solve_diagonal_sparse_py(**dict(base, nx=2**63 + 1, ny=2),
                                                num_modes=1), ValueError),
        (lambda: _core.solve_diagonal_sparse_py(**dict(base, dlf_x=[0.1]), num_modes=1),
         _core.InternalError),
        (lambda: _core.solve_tensorial_sparse_py(**dict(base, dlb_y=LyingLength([0.1, 0.1])),
                                                 num_modes=1, npml_y=1), ValueError),
    ]


def run_solves(calls, count):
    for i in range(count):
        calls[i % len(calls)]()


def run_failures(calls, count):
    for i in range(count):
        call, expected = calls[i % len(calls)]
        try:
            call()
        except expected:
            continue
        except BaseException as e:  # noqa: BLE001 - reported below
            raise SystemExit(f"call {i % len(calls)} raised {type(e).__name__}: {e}") from e
        raise SystemExit(f"call {i % len(calls)} did not fail")


def growth_per_call(run, calls, count):
    run(calls, max(100, count // 5))  # warm-up: allocator pools, interned objects, caches
    gc.collect()
    before = resident_kib()
    started = time.monotonic()
    run(calls, count)
    gc.collect()
    return (resident_kib() - before) / count, time.monotonic() - started


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--calls", type=int, default=1000, help="calls per phase")
    parser.add_argument("--limit-kib", type=float, default=1.0, help="KiB per call allowed")
    options = parser.parse_args()

    solve_kib, solve_s = growth_per_call(run_solves, small_solves(), options.calls)
    fail_kib, fail_s = growth_per_call(run_failures, failing_calls(), options.calls)
    print(f"{options.calls} small solves: RSS growth {solve_kib:.3f} KiB per call "
          f"({solve_s:.1f} s)")
    print(f"{options.calls} failing calls: RSS growth {fail_kib:.3f} KiB per call "
          f"({fail_s:.1f} s)")
    print(f"resident at the end: {resident_kib() / 1024:.1f} MiB")
    worst = max(solve_kib, fail_kib)
    if worst > options.limit_kib:
        print(f"FAIL: {worst:.3f} KiB per call exceeds {options.limit_kib} KiB")
        return 1
    print(f"ok: at most {options.limit_kib} KiB per call")
    return 0


if __name__ == "__main__":
    sys.exit(main())
