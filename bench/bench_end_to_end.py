"""End-to-end solve of the silicon strip through corvane._core, 4 modes, both solvers.

The strip: 0.5 x 0.22 um, n = 3.48, in silica n = 1.444, on a 2 x 1.5 um window with a
0.2 um PML on every side, lambda = 1.55 um; grids of 100 x 75, 200 x 150 and 400 x 300 cells.

What each figure measures:

  prepare        Python: numpy arrays to the lists of (re, im) tuples the module takes
  call           Python: the whole _core call (argument conversion, native solve, result
                 conversion), wall clock
  early exit     Python: the same call with one forward step made NaN, so that it stops at
                 the cell-area check: argument conversion, tensors and derivative matrices
  peak           rise of the process's resident high-water mark during the call, MiB

With the native benchmark (bench_end_to_end, built by `make test-cpp` into build/cpp) the
native phases of the same problem are added, measured inside the native code (tensors,
derivatives, assembly, factorisation, eigen, post; see bench_end_to_end.cpp). Both runs use
the same fixed start vector, so ARPACK does the same iterations in both.

  arg conv       early exit - (native tensors + derivatives): the binding's conversion of
                 the 25 arguments
  result         the binding's building of the 9-tuple for a result of this size (4 modes,
                 6 x 4 x n field values), timed alone with the result probe of
                 bench_conversion.py (best of 3)
  rest           call - (arg conv + native total + result): what the split does not
                 account for, timing noise of the eigen phase included

    python bench/bench_end_to_end.py [--sizes 100 200 400] [--solvers diagonal tensorial]
"""

from __future__ import annotations

import argparse
import json
import math
import os
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

WAVELENGTH = 1.55
N_CORE, N_CLAD = 3.48, 1.444
WIDTH, HEIGHT = 2.0, 1.5
CORE_WIDTH, CORE_HEIGHT = 0.5, 0.22
PML = 0.2
NEFF_GUESS = N_CORE - 0.8
ROOT = Path(__file__).resolve().parent.parent


def fill_fraction(edges, lo, hi):
    return (np.clip(edges[1:], lo, hi) - np.clip(edges[:-1], lo, hi)) / np.diff(edges)


def tuples(values):
    a = np.asarray(values, dtype=complex).ravel()
    return list(zip(a.real.tolist(), a.imag.tolist()))


def start_vector(length):
    j = np.arange(1, length + 1)
    return np.sin(0.37 * j) + 1j * np.cos(0.53 * j)


def status_mib(key):
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(key + ":"):
                return int(line.split()[1]) / 1024.0
    return 0.0


def reset_peak():
    with open("/proc/self/clear_refs", "w") as clear:
        clear.write("5")


def measure_one(solver: str, nx: int) -> dict:
    """Runs in a fresh process so that the peak belongs to this solve alone."""
    from corvane import _core

    ny = 3 * nx // 4
    n = nx * ny
    h = WIDTH / nx
    k0 = 2 * math.pi / WAVELENGTH
    unknowns = (2 if solver == "diagonal" else 4) * n
    native = getattr(_core, f"solve_{solver}_sparse_py")

    start = time.perf_counter()
    fx = fill_fraction(np.linspace(0, WIDTH, nx + 1), (WIDTH - CORE_WIDTH) / 2, (WIDTH + CORE_WIDTH) / 2)
    fy = fill_fraction(np.linspace(0, HEIGHT, ny + 1), (HEIGHT - CORE_HEIGHT) / 2, (HEIGHT + CORE_HEIGHT) / 2)
    eps = N_CLAD**2 + (N_CORE**2 - N_CLAD**2) * np.outer(fx, fy)
    zero = tuples(np.zeros(n))
    eps_flat = [tuples(eps) if k % 4 == 0 else zero for k in range(9)]
    mu_flat = [tuples(np.ones(n)) if k % 4 == 0 else zero for k in range(9)]
    initial = tuples(start_vector(unknowns))
    steps_x, steps_y = [h] * nx, [h] * ny
    prepare = time.perf_counter() - start

    npml = round(PML / h)
    options = dict(
        derivative_scale=1 / k0, npml_x=npml, npml_y=npml,
        pml_sigma_max=8 * h * k0 * N_CLAD, omega=2 * math.pi * 299792458.0 / (WAVELENGTH * 1e-6),
        initial_vector=initial,
    )

    broken_x = steps_x[:-1] + [float("nan")]
    start = time.perf_counter()
    try:
        native(nx, ny, broken_x, steps_y, steps_x, steps_y, False, False, eps_flat, mu_flat,
               4, NEFF_GUESS, "+", **options)
        raise AssertionError("the NaN step should have stopped the call")
    except ValueError as err:
        assert str(err) == "cell areas must be finite and positive", err
    early = time.perf_counter() - start

    reset_peak()
    base = status_mib("VmRSS")
    start = time.perf_counter()
    result = native(nx, ny, steps_x, steps_y, steps_x, steps_y, False, False, eps_flat, mu_flat,
                    4, NEFF_GUESS, "+", **options)
    call = time.perf_counter() - start
    peak = status_mib("VmHWM") - base
    neffs = result[0]
    return dict(solver=solver, nx=nx, ny=ny, unknowns=result[7], prepare=prepare, early=early,
                call=call, peak_mib=peak, backend=result[6], neff0=neffs[0][0],
                residual_max=max(result[2]))


def native_phases(binary: Path, solver: str, nx: int) -> dict | None:
    out = subprocess.run([str(binary), solver, str(nx)], capture_output=True, text=True, check=True)
    for line in out.stdout.splitlines():
        if line.startswith("RESULT "):
            fields = dict(item.split("=", 1) for item in line.split()[1:])
            return {k: (v if k == "solver" else float(v)) for k, v in fields.items()}
    return None


def result_building_seconds(probe, nx: int) -> float:
    ny = 3 * nx // 4
    return min(probe.build(4, nx * ny)[0] for _ in range(3))


def load_result_probe(directory: str):
    """The probe extension of bench_conversion.py: the binding's own result-building code."""
    try:
        sys.path.insert(0, str(Path(__file__).resolve().parent))
        import bench_conversion

        return bench_conversion.load_probe(directory)
    except Exception as err:  # the figure is then left out, the rest still runs
        print(f"result probe unavailable ({err})")
        return None


def limit_memory():
    """Caps a measuring child at half the machine's memory: a solve that falls back to the
    native LU on a large grid then fails with MemoryError instead of exhausting the machine."""
    import resource

    half = os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES") // 2
    resource.setrlimit(resource.RLIMIT_AS, (half, half))


def find_native_binary() -> Path | None:
    for candidate in (os.environ.get("CORVANE_BENCH_END_TO_END"),
                      ROOT / "build" / "cpp" / "bench_end_to_end"):
        if candidate and Path(candidate).is_file():
            return Path(candidate)
    return None


def main() -> None:
    parser = argparse.ArgumentParser(description="end-to-end strip waveguide benchmark")
    parser.add_argument("--sizes", type=int, nargs="+", default=[100, 200, 400])
    parser.add_argument("--solvers", nargs="+", default=["diagonal", "tensorial"])
    parser.add_argument("--one", nargs=2, metavar=("SOLVER", "NX"), help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.one:
        print(json.dumps(measure_one(args.one[0], int(args.one[1]))))
        return

    binary = find_native_binary()
    print(__doc__.split("\n\n")[1].replace("\n", " "))
    print(f"native phases: {binary if binary else 'bench_end_to_end not built, Python figures only'}")
    header = (f"{'solver':>9} {'grid':>9} {'unknowns':>9} {'prepare':>8} {'arg conv':>8} "
              f"{'tensors':>8} {'deriv':>8} {'assembly':>8} {'factor':>8} {'eigen':>8} "
              f"{'post':>8} {'result':>8} {'rest':>8} {'call':>8} {'peak MiB':>9}")
    with tempfile.TemporaryDirectory() as directory:
        probe = load_result_probe(directory)
        print(header)
        for nx in args.sizes:
            result_seconds = result_building_seconds(probe, nx) if probe else None
            for solver in args.solvers:
                nat = native_phases(binary, solver, nx) if binary else None
                if nat and nat.get("route_failed"):
                    print(f"{solver:>9} {nx}x{3 * nx // 4}: the UMFPACK route fails (see the "
                          "native bench); skipped", flush=True)
                    continue
                run = subprocess.run([sys.executable, __file__, "--one", solver, str(nx)],
                                     capture_output=True, text=True, preexec_fn=limit_memory)
                if run.returncode != 0:
                    reason = (run.stderr.strip().splitlines() or [f"exit status {run.returncode}"])[-1]
                    print(f"{solver:>9} {nx}x{3 * nx // 4}: failed: {reason}", flush=True)
                    continue
                py = json.loads(run.stdout.strip().splitlines()[-1])
                cells = [f"{solver:>9}", f"{nx}x{py['ny']:<5}".rjust(9), f"{py['unknowns']:>9}",
                         f"{py['prepare']:>8.3f}"]
                if nat:
                    arg_conv = py["early"] - (nat["tensors"] + nat["derivatives"])
                    cells += [f"{arg_conv:>8.3f}"] + [
                        f"{nat[k]:>8.3f}" for k in ("tensors", "derivatives", "assembly",
                                                    "factorisation", "eigen", "post")
                    ]
                else:
                    cells += [f"{py['early']:>8.3f}"] + [f"{'-':>8}"] * 6
                cells.append(f"{result_seconds:>8.3f}" if result_seconds is not None else f"{'-':>8}")
                if nat and result_seconds is not None:
                    rest = py["call"] - (arg_conv + nat["total"] + result_seconds)
                    cells.append(f"{rest:>8.3f}")
                else:
                    cells.append(f"{'-':>8}")
                cells += [f"{py['call']:>8.3f}", f"{py['peak_mib']:>9.0f}"]
                print(" ".join(cells), flush=True)
    print("seconds; peak: rise of the resident high-water mark of the Python process during "
          "the call. Without the native bench, 'arg conv' is the whole early-exit call.")

if __name__ == "__main__":
    main()
