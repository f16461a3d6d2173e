"""Accuracy against wall time: fixed steps, the default call, and accuracy= targets.

Prints, for each case and mode, the error against an independent reference and the wall
time of: single solves at fixed steps (with the observed order of each three), the default
call (neither step nor accuracy), and accuracy = 1e-3, 1e-4, 1e-5 (with the reported
`neff_error` and whether the true error is below it).

References: the slab from its transcendental dispersion equation, the fibre from the exact
vector Bessel-function eigenvalue equation (both solved here with scipy); the strip and the
rib from `accuracy=1e-7` on the default window (cells split up to 16 times, extrapolated;
the `neff_error` it reached is their uncertainty, added to each estimate when it is judged).
Every run uses the window the solve settles on (widened until the guided tails die before
the PML); the window found at a fine fixed step may differ a little from the one found at
the coarse first step of a series.

    PYTHONPATH=python python bench/bench_accuracy.py [--quick]
"""

from __future__ import annotations

import argparse
import math
import os
import time

import numpy as np
from scipy import optimize, special

import corvane as cv
from corvane import _core, refine
from corvane.geometry import rib, strip
from corvane.grid import Grid
from corvane.sampling import sample_materials

WAVELENGTH = 1.55
TARGETS = (1e-3, 1e-4, 1e-5)


# -- references ----------------------------------------------------------------------------

def slab_exact(n_core, n_clad, thickness, polarization):
    """TE0 / TM0 of a symmetric slab: k d = 2 atan(r g / k), r = 1 (TE) or (n1/n2)^2 (TM)."""
    k0 = 2 * math.pi / WAVELENGTH
    r = 1.0 if polarization == "TE" else (n_core / n_clad) ** 2

    def f(n):
        k = k0 * math.sqrt(n_core**2 - n**2)
        g = k0 * math.sqrt(n**2 - n_clad**2)
        return k * thickness - 2 * math.atan(r * g / k)

    return optimize.brentq(f, n_clad * (1 + 1e-12), n_core * (1 - 1e-12), xtol=1e-15)


def fibre_exact(n_core, n_clad, radius):
    """HE11 from the vector eigenvalue equation of a step-index fibre (nu = 1)."""
    k0 = 2 * math.pi / WAVELENGTH
    r = (n_clad / n_core) ** 2

    def f(n):
        u = radius * k0 * math.sqrt(n_core**2 - n**2)
        w = radius * k0 * math.sqrt(n**2 - n_clad**2)
        jj = special.jvp(1, u) / (u * special.jv(1, u))
        kk = special.kvp(1, w) / (w * special.kv(1, w))
        return (jj + kk) * (jj + r * kk) - (1 / u**2 + 1 / w**2) * (1 / u**2 + r / w**2)

    # HE11 is the highest root: scan down from the core index for the first sign change.
    grid = np.linspace(n_core - 1e-6, n_clad + 1e-6, 4000)
    values = [f(n) for n in grid]
    for a, b, fa, fb in zip(grid[:-1], grid[1:], values[:-1], values[1:]):
        if np.isfinite(fa) and np.isfinite(fb) and fa * fb < 0 and abs(fa) < 1e3:
            return optimize.brentq(f, b, a, xtol=1e-15)
    raise RuntimeError("no HE11 root")


# -- cases ---------------------------------------------------------------------------------

STRIP = strip(width=0.5, height=0.22, core=3.48, cladding=1.444)
RIB = rib(width=1.0, height=0.4, slab_height=0.2, core=2.0, cladding=1.444, substrate=1.444)
FIBRE = cv.Structure([cv.Ellipse(center=(0, 0), radii=(0.6, 0.6), material=1.9)],
                     background=1.45)
SLAB = cv.Structure([cv.Layer(y=(0.0, 0.22), material=3.48)], background=1.444)

# (name, structure, num_modes, {label: (reference, uncertainty)}, fixed steps, paths)
CASES = [
    ("strip", STRIP, 2, {"TE0": (2.4496524, 5e-6), "TM0": (1.7726453, 9e-6)},
     (0.04, 0.02, 0.01), ("auto",)),
    ("rib", RIB, 2, {"TE0": (1.6758864, 1e-6), "TM0": (1.5869897, 3e-6)},
     (0.08, 0.04, 0.02), ("auto",)),
    ("fibre", FIBRE, 1, {"HE11": (fibre_exact(1.9, 1.45, 0.6), 0.0)}, (0.08, 0.04, 0.02),
     ("diagonal", "tensorial")),
]


def _pick(modes, label):
    """The mode a label names: TE0/TM0 by polarisation, HE11 the first."""
    if label == "HE11":
        return modes[0]
    te = [m for m in modes if m.te_fraction >= 0.5]
    tm = [m for m in modes if m.te_fraction < 0.5]
    group = te if label.startswith("TE") else tm
    return group[0] if group else None


def _timed(fn):
    t = time.perf_counter()
    out = fn()
    return out, time.perf_counter() - t


def _row(case, how, label, mode, ref, unc, seconds, target=None):
    if mode is None:
        print(f"{case:6s} {how:16s} {label:5s} {'(lost)':>12s} {seconds:8.2f}")
        return
    err = mode.neff.real - ref
    est = mode.neff_error
    honest = "" if est is None else ("yes" if abs(err) <= est + unc else "NO")
    met = "" if target is None else ("met" if abs(err) <= target else "MISSED")
    print(f"{case:6s} {how:16s} {label:5s} {err:+12.2e} {seconds:8.2f} "
          f"{'' if est is None else f'{est:10.2e}':>10s} {honest:>6s} {met:>7s}")


def _slab_series(target):
    """The slab on nested 1-cell-wide grids (closed walls, the TE and TM fields both free on
    them), extrapolated by corvane.refine until the estimate is below `target`."""
    y = Grid.auto(SLAB, WAVELENGTH, step=refine.first_step(WAVELENGTH, 3.48),
                  max_ratio=math.inf, margin=2.0).y_edges
    coarse = Grid([0.0, 1.0], y)
    history = {"TE0": [], "TM0": []}
    steps = []
    k0 = 2 * math.pi / WAVELENGTH
    for parts in refine.SUBDIVISIONS:
        g = refine.subdivided(coarse, parts)
        s = sample_materials(SLAB, g, WAVELENGTH)
        out = _core.solve_diagonal_sparse_py(
            g.nx, g.ny, g.dlf_x.tolist(), g.dlf_y.tolist(), g.dlb_x.tolist(),
            g.dlb_y.tolist(), False, False, s.flat("eps"), s.flat("mu"), 2, 3.0, "+",
            derivative_scale=1.0 / k0)
        neffs = [complex(*p) for p in out[0]]
        ex = [np.sum(np.abs([complex(*p) for p in out[1][0][k]]) ** 2) for k in range(2)]
        ey = [np.sum(np.abs([complex(*p) for p in out[1][1][k]]) ** 2) for k in range(2)]
        te = [k for k in range(2) if ex[k] > ey[k]][0]
        history["TE0"].append(neffs[te])
        history["TM0"].append(neffs[1 - te])
        steps.append(1.0 / parts)
        est = {k: refine.estimate(steps, v, lossy=False) for k, v in history.items()}
        if max(e.error for e in est.values()) <= target:
            break
    return est


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--quick", action="store_true", help="fixed steps and 1e-3 only")
    args = parser.parse_args()
    print(f"load average {os.getloadavg()[0]:.2f} (2 cores)")
    print(f"{'case':6s} {'how':16s} {'mode':5s} {'error':>12s} {'seconds':>8s} "
          f"{'neff_error':>10s} {'honest':>6s} {'target':>7s}")
    targets = TARGETS[:1] if args.quick else TARGETS

    # Slab: analytic TE0 / TM0.
    exact = {"TE0": slab_exact(3.48, 1.444, 0.22, "TE"), "TM0": slab_exact(3.48, 1.444, 0.22, "TM")}
    for target in targets:
        est, seconds = _timed(lambda: _slab_series(target))
        for label, e in est.items():
            err = e.neff.real - exact[label]
            print(f"{'slab':6s} {f'accuracy={target:g}':16s} {label:5s} {err:+12.2e} "
                  f"{seconds:8.2f} {e.error:10.2e} {'yes' if abs(err) <= e.error else 'NO':>6s} "
                  f"{'met' if abs(err) <= target else 'MISSED':>7s}  order {e.order[0]:.2f}")

    for name, structure, num_modes, refs, steps, paths in CASES:
        for path in paths:
            values = {label: [] for label in refs}
            tag = "" if path == "auto" else f" {path[:4]}"
            for h in steps:
                modes, seconds = _timed(lambda: cv.solve(
                    structure, WAVELENGTH, num_modes=num_modes, step=h, formulation=path))
                for label, (ref, unc) in refs.items():
                    m = _pick(modes, label)
                    values[label].append(np.nan if m is None else m.neff.real - ref)
                    _row(name, f"step={h:g}{tag}", label, m, ref, unc, seconds)
            for label, errs in values.items():
                e = np.abs(errs)
                orders = [math.log(e[k] / e[k + 1]) / math.log(steps[k] / steps[k + 1])
                          for k in range(len(e) - 1)]
                print(f"{name:6s} {'order' + tag:16s} {label:5s} "
                      + " ".join(f"{o:6.2f}" for o in orders))
        modes, seconds = _timed(lambda: cv.solve(structure, WAVELENGTH, num_modes=num_modes))
        for label, (ref, unc) in refs.items():
            _row(name, "default", label, _pick(modes, label), ref, unc, seconds, 1e-3)
        for target in targets:
            modes, seconds = _timed(lambda: cv.solve(structure, WAVELENGTH,
                                                     num_modes=num_modes, accuracy=target))
            for label, (ref, unc) in refs.items():
                _row(name, f"accuracy={target:g}", label, _pick(modes, label), ref, unc,
                     seconds, target)


if __name__ == "__main__":
    main()
