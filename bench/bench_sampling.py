"""Sampling speed on the silicon strip, and the accuracy figures of the sampled materials.

Prints, for the 0.5 x 0.22 um silicon strip on silica at 1.55 um (window about 2.7 x 2.4 um):
the time of `sample_materials` on the automatic grid and on uniform grids of 10 and 5 nm;
then the neff errors and fitted convergence orders of the exact slab (TE, TM) and the
step-index fibre HE11 (diagonal and full-tensor averages), and the mirror / quarter-turn
differences of an offset ellipse. Run: .venv/bin/python bench/bench_sampling.py [--quick];
`--strip-flip` instead compares a silicon strip with its upside-down image (minutes).
"""

import math
import statistics
import sys
import time
from pathlib import Path

import numpy as np

import corvane as cv
from corvane.grid import Grid
from corvane.materials import silica, silicon
from corvane.sampling import sample_materials

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests" / "python"))
from modelling_helpers import (fibre_he11_on_quarter_window, fibre_neff,  # noqa: E402
                               fitted_order, slab_neff, solve_sampled, te_fraction)

LAM = 1.55


def timed(fn, repeat=3):
    times = []
    for _ in range(repeat):
        t = time.perf_counter()
        out = fn()
        times.append(time.perf_counter() - t)
    return min(times), statistics.median(times), out


def sampling_speed():
    s = cv.strip(width=0.5, height=0.22, core=silicon, cladding=silica, substrate=silica)
    print("== sample_materials on the silicon strip (min / median of 3, seconds)")
    for label, grid in [
        ("auto 10 nm", Grid.auto(s, LAM, step=0.01)),
        ("auto 5 nm", Grid.auto(s, LAM, step=0.005)),
        ("uniform 10 nm", Grid.uniform(x=(-1.35, 1.35), y=(-1.1, 1.3), step=0.01)),
        ("uniform 5 nm", Grid.uniform(x=(-1.35, 1.35), y=(-1.1, 1.3), step=0.005)),
    ]:
        best, med, _ = timed(lambda: sample_materials(s, grid, LAM))
        x0, y0, x1, y1 = grid.bounds
        print(f"{label:14s} {grid.nx:4d} x {grid.ny:4d} = {grid.nx * grid.ny:7d} cells "
              f"window {x1 - x0:.2f} x {y1 - y0:.2f} um   {best:.3f} / {med:.3f} s")


def slab_orders():
    n1, ns, nc, d = 2.0, 1.45, 1.0, 0.4
    slab = cv.Structure([cv.Layer(y=(-math.inf, 0.0), material=ns),
                         cv.Layer(y=(0.0, d), material=n1)], background=nc)
    exact = [slab_neff(n_core=n1, n_sub=ns, n_cover=nc, thickness=d, wavelength=LAM,
                       polarization=p) for p in ("TE", "TM")]
    steps = (0.02, 0.01, 0.005, 0.0025)
    print(f"== asymmetric slab n = {ns}/{n1}/{nc}, d = {d} um: exact TE {exact[0]:.10f}, "
          f"TM {exact[1]:.10f}")
    for fraction in (0.3, 0.5):
        errors = []
        for h in steps:
            y0 = -4.5 - fraction * h
            grid = Grid(x_edges=[0.0, h], y_edges=y0 + h * np.arange(round(7.0 / h) + 1))
            neff, _ = solve_sampled(slab, grid, LAM, neff_guess=exact[0], num_modes=2)
            errors.append(neff.real - exact)
        errors = np.array(errors)
        for k, name in enumerate(("TE", "TM")):
            print(f"  interfaces at {fraction:.1f} of a cell, {name}: errors "
                  + " ".join(f"{e:+.2e}" for e in errors[:, k])
                  + f" at h = {steps} um; fitted order {fitted_order(steps, errors[:, k]):.2f}")


def fibre_orders(steps):
    n1, n2, a = 1.9, 1.45, 0.6
    exact = fibre_neff(n_core=n1, n_clad=n2, radius=a, wavelength=LAM,
                       bracket=(n2 + 1e-9, n1 - 1e-9))
    print(f"== step-index fibre n = {n1}/{n2}, a = {a} um: exact HE11 {exact:.10f} "
          "(quarter window 2.4 um, max_step 4h)")
    for tensorial in (False, True):
        errors = [fibre_he11_on_quarter_window(n_core=n1, n_clad=n2, radius=a, wavelength=LAM,
                                               window=2.4, step=h, tensorial=tensorial,
                                               neff_guess=exact) - exact
                  for h in steps]
        label = "full tensor (tensorial solver)" if tensorial else "diagonal only"
        print(f"  {label}: errors " + " ".join(f"{e:+.2e}" for e in errors)
              + f" at h = {steps} um; fitted order {fitted_order(steps, errors):.2f}")


def invariance(steps):
    print("== mirror / quarter-turn differences of an offset ellipse (2.0 in 1.444), "
          "delta neff / h^2 for (quasi-TE, quasi-TM)")
    orig = cv.Structure([cv.Ellipse(center=(0.0131, 0.0077), radii=(0.55, 0.35), material=2.0)],
                        background=1.444)
    turned = cv.Structure([cv.Ellipse(center=(0.0090, 0.0102), radii=(0.35, 0.55), material=2.0)],
                          background=1.444)
    frame = cv.Structure([cv.Rectangle(center=(0, 0), size=(1.2, 1.2), material=2.0)],
                         background=1.444)
    for averaging in ("tensor", "center"):
        for h in steps:
            grid = Grid.auto(frame, LAM, step=h, margin=1.4, max_step=4 * h)

            def te_tm(s):
                neff, f = solve_sampled(s, grid, LAM, neff_guess=1.8, num_modes=2,
                                        averaging=averaging)
                return neff.real[np.argsort([-te_fraction(f, m) for m in range(2)])]

            ref = te_tm(orig)
            mx = te_tm(orig.mirrored("x", about=0.0071)) - ref
            my = te_tm(orig.mirrored("y", about=0.0193)) - ref
            qt = te_tm(turned)[::-1] - ref
            print(f"  {averaging:6s} h = {h}: mirror x {np.round(mx / h**2, 4)}, "
                  f"mirror y {np.round(my / h**2, 4)}, quarter turn {np.round(qt / h**2, 4)}")


def strip_flip(steps):
    """The silicon strip on silica (air above) and the same strip flipped upside down, on one
    uniform grid whose lines cut the interfaces at different places: neff of TE0."""
    print("== silicon strip (0.5 x 0.22 um, silica below, air above) and its upside-down "
          "image on one uniform grid: TE0 neff")
    core = cv.Rectangle(center=(0.0131, 0.1177), size=(0.5, 0.22), material=3.48)
    strip = cv.Structure([cv.Layer(y=(-math.inf, 0.0077), material=1.444), core],
                         background=1.0)
    flipped = strip.mirrored("y", about=0.1193)
    for h in steps:
        grid = Grid.uniform(x=(-1.05, 1.05), y=(-0.8, 1.05), step=h)
        a, b = (solve_sampled(s, grid, LAM, neff_guess=2.4)[0][0].real for s in (strip, flipped))
        print(f"  h = {h}: {a:.6f} upright, {b:.6f} flipped, difference {b - a:+.2e} "
              f"({(b - a) / h**2:+.2f} h^2)")


if __name__ == "__main__":
    quick = "--quick" in sys.argv
    if "--strip-flip" in sys.argv:
        strip_flip((0.02, 0.01, 0.005))
        sys.exit()
    sampling_speed()
    slab_orders()
    fibre_orders((0.05, 0.04, 0.03) if quick else (0.05, 0.04, 0.03, 0.025, 0.02))
    invariance((0.04, 0.028) if quick else (0.04, 0.028, 0.02))
