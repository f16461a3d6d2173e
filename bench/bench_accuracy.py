"""Accuracy against wall time: fixed steps, the default call, and accuracy= targets.

Prints, for each case and mode, the error against an independent reference and the wall
time of: single solves at fixed steps (with the observed order of each three), the default
call (neither step nor accuracy), and accuracy = 1e-3, 1e-4, 1e-5 (with the reported
`neff_error` and whether the true error is below it).

References: the slab from its transcendental dispersion equation, the fibre from the exact
vector Bessel-function eigenvalue equation (both solved here with scipy); the strip (in
silica and in air), the rib and the leaky SOI wire (Re and Im) from series of their own
windows with cells split up to 32 times, fitted with n + a h^2 + b h^q + c h^3, q the
corner's order fitted too (`--references` prints them with q against the order the wedge
problem gives, `corvane.corners`). "honest" says whether |neff - reference| (complex for the
leaky wire) lies below `neff_error` plus the reference's uncertainty.

    PYTHONPATH=python python bench/bench_accuracy.py [--quick | --references]
"""

from __future__ import annotations

import argparse
import math
import os
import time
import warnings

import numpy as np
from scipy import optimize, special

import corvane as cv
from corvane import _core, corners, refine
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
AIR_STRIP = strip(width=0.5, height=0.22, core=3.48, cladding=1.0)
RIB = rib(width=1.0, height=0.4, slab_height=0.2, core=2.0, cladding=1.444, substrate=1.444)
FIBRE = cv.Structure([cv.Ellipse(center=(0, 0), radii=(0.6, 0.6), material=1.9)],
                     background=1.45)
SOI = cv.Structure([cv.Layer(y=(-math.inf, -0.5), material=3.48),
                    cv.Rectangle(center=(0, 0.11), size=(0.5, 0.22), material=3.48)],
                   background=1.444)
SLAB = cv.Structure([cv.Layer(y=(0.0, 0.22), material=3.48)], background=1.444)

# (name, structure, num_modes, {label: (reference, uncertainty)}, fixed steps, paths).
# References of the guides with corners: `--references` (series of the window a two-mode
# solve settles on, cells split up to 32 times, fitted with n + a h^2 + b h^q + c h^3).
CASES = [
    ("strip", STRIP, 2, {"TE0": (2.4496471, 5e-7), "TM0": (1.7726377, 5e-7)},
     (0.04, 0.02, 0.01), ("auto",)),
    ("air", AIR_STRIP, 2, {"TE0": (2.3583102, 5e-7), "TM0": (1.2010854, 5e-7)},
     (0.04, 0.02, 0.01), ("auto",)),
    ("rib", RIB, 2, {"TE0": (1.6758861, 5e-7), "TM0": (1.5869865, 5e-7)},
     (0.08, 0.04, 0.02), ("auto",)),
    ("SOI", SOI, 2, {"TE0": (2.4496362 + 7.94537e-5j, 5e-7),
                     "TM0": (1.7750866 + 2.782655e-3j, 5e-7)}, (0.04, 0.02, 0.01), ("auto",)),
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
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", UserWarning)  # the rib's TM0 near its cut-off
        out = fn()
    return out, time.perf_counter() - t


def _row(case, how, label, mode, ref, unc, seconds, target=None):
    """One line: Re(neff) error (and |Im error| of a leaky mode), seconds, neff_error,
    whether the complex error lies below it, whether the target is met."""
    if mode is None:
        print(f"{case:6s} {how:16s} {label:5s} {'(lost)':>12s} {seconds:8.2f}")
        return
    err = mode.neff.real - ref.real
    complex_err = abs(mode.neff - ref) if isinstance(ref, complex) else abs(err)
    im = f"{abs(mode.neff.imag - ref.imag):9.1e}" if isinstance(ref, complex) else " " * 9
    est = mode.neff_error
    honest = "" if est is None else ("yes" if complex_err <= est + unc else "NO")
    met = "" if target is None else ("met" if complex_err <= target else "MISSED")
    print(f"{case:6s} {how:16s} {label:5s} {err:+12.2e} {im} {seconds:8.2f} "
          f"{'' if est is None else f'{est:10.2e}':>10s} {honest:>6s} {met:>7s}")


def _series(structure, num_modes, parts_max=32):
    """Each mode's neff on the family's grids split 1 ... parts_max times (the first grid
    and window of a two-mode solve, modes tracked from grid to grid)."""
    captured = []
    estimate = refine.estimate
    subdivisions = tuple(p for p in (1, 2, 3, 4, 5, 6, 8, 10, 12, 16, 20, 24, 28, 32)
                         if p <= parts_max)

    def recording(steps, neffs, **options):
        captured.append(([round(1 / h) for h in steps], list(neffs)))
        return estimate(steps, neffs, **options)

    converged = refine.converged
    refine.estimate, refine.MAX_CELLS = recording, 10**7
    refine.converged = lambda *a, **k: converged(*a, **{**k, "subdivisions": subdivisions,
                                                         "accuracy": 1e-15})
    try:
        _timed(lambda: cv.solve(structure, WAVELENGTH, num_modes=num_modes, accuracy=1e-15))
    finally:
        refine.estimate, refine.converged, refine.MAX_CELLS = estimate, converged, 400_000
    return captured[-num_modes:]


def _corner_fit(parts, values):
    """(limit, q) of n + a h^2 + b h^q + c h^3 fitted to the finest eight values, q searched."""
    h = 1.0 / np.asarray(parts[-8:], float)
    v = np.asarray(values[-8:], float)
    best = None
    for q in np.linspace(1.0, 2.6, 321):
        if abs(q - 2) < 1e-9 or abs(q - 3) < 1e-9:
            continue
        a = np.stack([np.ones_like(h), h**2, h**q, h**3], axis=1)
        c = np.linalg.lstsq(a, v, rcond=None)[0]
        r = float(np.sum((a @ c - v) ** 2))
        if best is None or r < best[0]:
            best = (r, float(c[0]), float(q))
    return best[1], best[2]


def references() -> None:
    """The references of the guides with corners, and the corner order fitted against the
    one the wedge problem gives."""
    print(f"{'case':6s} {'mode':5s} {'part':4s} {'reference':>14s} {'fitted q':>9s} "
          f"{'wedge 2nu':>9s}")
    for name, structure, num_modes, refs, _, _ in CASES:
        if name == "fibre":
            continue
        wedge = corners.corner_order(structure, WAVELENGTH)
        for (parts, neffs), label in zip(_series(structure, num_modes), refs):
            for part in ("re", "im"):
                values = [getattr(n, "real" if part == "re" else "imag") for n in neffs]
                if np.ptp(values[-6:]) < 1e-12 or max(map(abs, values)) < 1e-9:
                    continue  # a lossless guided mode's Im(neff) is the window's
                limit, q = _corner_fit(parts, values)
                print(f"{name:6s} {label:5s} {part:4s} {limit:14.9f} {q:9.2f} {wedge:9.2f}")


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
    parser.add_argument("--references", action="store_true",
                        help="the series behind the references, and their corner orders")
    args = parser.parse_args()
    if args.references:
        references()
        return
    print(f"load average {os.getloadavg()[0]:.2f} (2 cores)")
    print(f"{'case':6s} {'how':16s} {'mode':5s} {'Re error':>12s} {'Im error':>9s} "
          f"{'seconds':>8s} {'neff_error':>10s} {'honest':>6s} {'target':>7s}")
    targets = TARGETS[:1] if args.quick else TARGETS

    # Slab: analytic TE0 / TM0.
    exact = {"TE0": slab_exact(3.48, 1.444, 0.22, "TE"), "TM0": slab_exact(3.48, 1.444, 0.22, "TM")}
    for target in targets:
        est, seconds = _timed(lambda: _slab_series(target))
        for label, e in est.items():
            err = e.neff.real - exact[label]
            print(f"{'slab':6s} {f'accuracy={target:g}':16s} {label:5s} {err:+12.2e} "
                  f"{'':9s} {seconds:8.2f} {e.error:10.2e} {'yes' if abs(err) <= e.error else 'NO':>6s} "
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
                    values[label].append(np.nan if m is None else m.neff.real - ref.real)
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
