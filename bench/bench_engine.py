"""corvane.engine against a scipy baseline on the very same operator, and the engine's sweeps.

The problem: a 0.5 x 0.22 um silicon strip (n = 3.48) in silica (n = 1.444) centred in a
2.7 x 2.42 um window whose outer 0.2 um on every side is PML, lambda = 1.55 um, 4 modes near
neff_guess = 2.68; steps of 10 nm (270 x 242 cells, 130,680 unknowns) and 5 nm.

Lines printed:

  cold       one solve from scratch, best of --repeats. engine: corvane.engine.solve_diagonal
             with its defaults (assembly, factorisation, iteration, fields, orthogonalisation).
             scipy: the operator exported by corvane.engine.operator_csc, SuperLU `splu` of
             A - sigma I and `scipy.sparse.linalg.eigs` on its solve (shift-invert by hand so
             the applications can be counted), the same shift, Krylov dimension and tolerance;
             only factorisation and iteration are timed. CPU seconds of the process (all
             threads) and wall seconds. `ratio` is scipy / engine in wall time (the engine
             runs on both cores, scipy on one), `cpu ratio` the same in CPU time; `apps`
             counts operator applications; `dneff` the largest |neff difference| of the 4
             modes.
  sweep      21 wavelengths 1.50..1.60 um on the 10 nm grid: a Workspace keeps the symbolic
             analysis and each point starts from the modes extrapolated from up to three
             earlier points; per-point wall (and CPU) time against the cold scipy solve;
             `floor` is the application count when started from the converged modes of the
             same point.
  symmetric  the strip through corvane.solve (modelling API, symmetry on, 10 nm uniform grid
             of the same size) against the cold scipy baseline on the whole domain; skipped
             when corvane.solve is not available in this checkout.
  large      (--large) 1000 x 1000 cells, 2e6 unknowns, from numpy arrays, in a subprocess:
             wall and CPU seconds and peak resident memory.

    OPENBLAS_NUM_THREADS=1 python bench/bench_engine.py [--steps 10 5] [--repeats 3]
                                                        [--no-sweep] [--large]

BLAS runs one thread unless OPENBLAS_NUM_THREADS says otherwise (set it to 1 for figures
comparable with the issue's table). Wall ratios need an otherwise idle machine; the load
average is printed first.
"""

from __future__ import annotations

import argparse
import json
import math
import os
import resource
import subprocess
import sys
import time

import numpy as np

WAVELENGTH = 1.55
N_CORE, N_CLAD = 3.48, 1.444
WIDTH, HEIGHT = 2.7, 2.42
CORE_WIDTH, CORE_HEIGHT = 0.5, 0.22
PML = 0.2
NEFF_GUESS = N_CORE - 0.8
NUM_MODES = 4
TOL = 1e-10
C0 = 299792458.0


def fill_fraction(edges, lo, hi):
    return (np.clip(edges[1:], lo, hi) - np.clip(edges[:-1], lo, hi)) / np.diff(edges)


def strip_inputs(nx: int, ny: int, wavelength: float = WAVELENGTH) -> dict:
    """The 25 solver parameters of the strip as numpy arrays."""
    hx, hy = WIDTH / nx, HEIGHT / ny
    k0 = 2 * math.pi / wavelength
    fx = fill_fraction(np.linspace(0, WIDTH, nx + 1), (WIDTH - CORE_WIDTH) / 2, (WIDTH + CORE_WIDTH) / 2)
    fy = fill_fraction(np.linspace(0, HEIGHT, ny + 1), (HEIGHT - CORE_HEIGHT) / 2, (HEIGHT + CORE_HEIGHT) / 2)
    n = nx * ny
    eps = np.zeros((9, n), dtype=complex)
    eps[[0, 4, 8]] = (N_CLAD**2 + (N_CORE**2 - N_CLAD**2) * np.outer(fx, fy)).ravel()
    mu = np.zeros((9, n), dtype=complex)
    mu[[0, 4, 8]] = 1.0
    h = min(hx, hy)
    return dict(
        nx=nx, ny=ny, dlf_x=np.full(nx, hx), dlf_y=np.full(ny, hy), dlb_x=np.full(nx, hx),
        dlb_y=np.full(ny, hy), pmc_x=False, pmc_y=False, eps_tensor=eps, mu_tensor=mu,
        num_modes=NUM_MODES, neff_guess=NEFF_GUESS, direction="+", derivative_scale=1 / k0,
        npml_x=round(PML / hx), npml_y=round(PML / hy), pml_sigma_max=8 * h * k0 * N_CLAD,
        omega=2 * math.pi * C0 / (wavelength * 1e-6),
    )


def cpu_seconds() -> float:
    r = resource.getrusage(resource.RUSAGE_SELF)
    return r.ru_utime + r.ru_stime


class Timed:
    def __enter__(self):
        self.cpu, self.wall = cpu_seconds(), time.perf_counter()
        return self

    def __exit__(self, *exc):
        self.cpu, self.wall = cpu_seconds() - self.cpu, time.perf_counter() - self.wall


def best_of(repeats, fn):
    best = None
    for _ in range(repeats):
        with Timed() as t:
            out = fn()
        if best is None or t.wall < best[0].wall:
            best = (t, out)
    return best


def scipy_baseline(kw: dict, krylov_dim: int):
    """splu + eigs on (A - sigma I)^-1, the engine's operator, shift, Krylov dimension, tol."""
    import scipy.sparse as sp
    import scipy.sparse.linalg as sla
    from corvane import engine

    shape, indptr, indices, data = engine.operator_csc("diagonal", **kw)
    a = sp.csc_matrix((data, indices, indptr), shape=shape)
    sigma = -NEFF_GUESS**2
    b = (a - sigma * sp.identity(shape[0], dtype=complex, format="csc")).tocsc()
    del a
    j = np.arange(1, shape[0] + 1)
    v0 = np.sin(0.37 * j) + 1j * np.cos(0.53 * j)

    def run():
        lu = sla.splu(b)
        count = [0]

        def apply(x):
            count[0] += 1
            return lu.solve(np.asarray(x, dtype=complex).ravel())

        op = sla.LinearOperator(shape, matvec=apply, dtype=complex)
        theta = sla.eigs(op, k=NUM_MODES, which="LM", ncv=krylov_dim, tol=TOL, v0=v0,
                         return_eigenvectors=False)
        neffs = np.sqrt(-(sigma + 1 / theta))
        return np.sort_complex(neffs)[::-1], count[0]

    return run


def agreement(a, b) -> float:
    a = np.sort_complex(np.asarray(a))[::-1]
    b = np.sort_complex(np.asarray(b))[::-1]
    return float(np.max(np.abs(a - b)))


def cold(step_nm: int, repeats: int) -> dict:
    from corvane import engine

    nx, ny = round(WIDTH / (step_nm * 1e-3)), round(HEIGHT / (step_nm * 1e-3))
    kw = strip_inputs(nx, ny)
    kd = engine.default_krylov_dim(NUM_MODES)
    t_eng, r = best_of(repeats, lambda: engine.solve_diagonal(**kw))
    run = scipy_baseline(kw, kd)
    t_sci, (neffs, apps) = best_of(repeats, run)
    print(f"cold {step_nm:2d} nm  {nx}x{ny} ({r.operator_rows} unknowns, krylov_dim {kd}): "
          f"engine cpu {t_eng.cpu:7.2f} s wall {t_eng.wall:7.2f} s apps {r.operator_applications:4d} | "
          f"scipy cpu {t_sci.cpu:7.2f} s wall {t_sci.wall:7.2f} s apps {apps:4d} | "
          f"ratio {t_sci.wall / t_eng.wall:5.2f}x (cpu ratio {t_sci.cpu / t_eng.cpu:4.2f}x) | "
          f"dneff {agreement(r.neffs, neffs):.1e}")
    print(f"         engine phases (wall s): " + ", ".join(f"{k} {v:.2f}" for k, v in r.timings.items()))
    return dict(kw=kw, scipy_cpu=t_sci.cpu, scipy_wall=t_sci.wall, engine=r)


def sweep(base: dict) -> None:
    from corvane import engine

    wavelengths = np.linspace(1.50, 1.60, 21)
    kw0 = base["kw"]
    nx, ny = kw0["nx"], kw0["ny"]
    workspace = engine.Workspace()
    done, results, apps = [], [], []
    with Timed() as t:
        for w in wavelengths:
            kw = strip_inputs(nx, ny, w)
            start = None
            if results:
                start, _ = engine.extrapolated_start(done, results, w)
            r = engine.solve_diagonal(**kw, workspace=workspace, initial_vector=start)
            done.append(w)
            results.append(r)
            apps.append(r.operator_applications)
    per_point = t.cpu / len(wavelengths)
    per_point_wall = t.wall / len(wavelengths)
    kw = strip_inputs(nx, ny, wavelengths[10])
    floor_start, _ = engine.extrapolated_start([wavelengths[10]], [results[10]], wavelengths[10])
    floor = engine.solve_diagonal(**kw, initial_vector=floor_start).operator_applications
    print(f"sweep 21 points 10 nm: wall {per_point_wall:.2f} s/point (cpu {per_point:.2f}), "
          f"apps first {apps[0]}, then mean {np.mean(apps[1:]):.1f} (min {min(apps[1:])}, max {max(apps[1:])}), "
          f"floor {floor}, symbolic reuses {workspace.symbolic_reuses} | cold scipy wall "
          f"{base['scipy_wall']:.2f} s | ratio {base['scipy_wall'] / per_point_wall:.2f}x "
          f"(cpu ratio {base['scipy_cpu'] / per_point:.2f}x)")


def symmetric(base: dict) -> None:
    try:
        import corvane
        from corvane.geometry import strip
        from corvane.grid import Grid
        from corvane.materials import Material
        solve = corvane.solve
    except (ImportError, AttributeError) as error:
        print(f"symmetric: skipped ({error})")
        return
    structure = strip(width=CORE_WIDTH, height=CORE_HEIGHT, core=Material(index=N_CORE),
                      cladding=Material(index=N_CLAD))
    inner_w, inner_h = WIDTH - 2 * PML, HEIGHT - 2 * PML
    grid = Grid.uniform(x=(-inner_w / 2, inner_w / 2),
                        y=(CORE_HEIGHT / 2 - inner_h / 2, CORE_HEIGHT / 2 + inner_h / 2), step=0.01)
    t, modes = best_of(3, lambda: solve(structure, WAVELENGTH, num_modes=NUM_MODES, grid=grid,
                                        pml=PML, symmetry="auto"))
    print(f"symmetric strip through corvane.solve (symmetry auto, 10 nm, {NUM_MODES} modes): "
          f"wall {t.wall:.2f} s cpu {t.cpu:.2f} s | whole-domain scipy wall {base['scipy_wall']:.2f} s | "
          f"ratio {base['scipy_wall'] / t.wall:.2f}x (cpu ratio {base['scipy_cpu'] / t.cpu:.2f}x) | "
          f"neff {np.round(np.asarray(modes.neff).real, 6)}")


LARGE = """
import json, math, resource, sys, time
sys.path.insert(0, {bench!r})
from bench_engine import strip_inputs, cpu_seconds
from corvane import engine
kw = strip_inputs(1000, 1000)
start_cpu, start = cpu_seconds(), time.perf_counter()
r = engine.solve_diagonal(**kw)
print(json.dumps(dict(wall=time.perf_counter() - start, cpu=cpu_seconds() - start_cpu,
                      peak_gib=resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 2**20,
                      apps=r.operator_applications, rows=r.operator_rows, timings=r.timings,
                      wide=r.details["wide_indices"], neffs=[str(z) for z in r.neffs])))
"""


def large() -> None:
    script = LARGE.format(bench=os.path.dirname(os.path.abspath(__file__)))
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True)
    if out.returncode != 0:
        print("large: failed\n" + out.stderr[-2000:])
        return
    d = json.loads(out.stdout.strip().splitlines()[-1])
    print(f"large 1000x1000 ({d['rows']} unknowns, wide {d['wide']}): wall {d['wall']:.1f} s, "
          f"cpu {d['cpu']:.1f} s, peak RSS {d['peak_gib']:.2f} GiB, apps {d['apps']}, "
          f"phases " + ", ".join(f"{k} {v:.1f}" for k, v in d["timings"].items()))


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--steps", type=int, nargs="*", default=[10, 5], help="grid steps in nm")
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--no-sweep", action="store_true")
    parser.add_argument("--large", action="store_true")
    args = parser.parse_args()
    print(f"load average {os.getloadavg()[0]:.1f} on {os.cpu_count()} cores, "
          f"OPENBLAS_NUM_THREADS={os.environ.get('OPENBLAS_NUM_THREADS', 'unset')}")
    base = None
    for step in args.steps:
        result = cold(step, args.repeats)
        if step == 10:
            base = result
    if base is not None and not args.no_sweep:
        sweep(base)
        symmetric(base)
    if args.large:
        large()


if __name__ == "__main__":
    main()
