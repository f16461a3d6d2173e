"""Guided modes of a silicon strip waveguide at 1.55 um: TE0 and TM0.

A 0.5 x 0.22 um silicon core in silica, PML on every side. Prints a table of the physical
modes (guided or leaky; PML and wall modes are hidden), each neff with its estimated error,
and writes the |E| map of the fundamental to strip_te0.png in the working directory.

    python examples/strip_waveguide.py [--accuracy 1e-4 | --step 0.02] [--modes 4]

By default the solve refines its grid until neff is within 1e-3 (`accuracy=`); `--step`
solves once on one grid instead, with no error estimate.

Set CORVANE_EXAMPLES_FAST=1 for a coarse grid (the test suite does).
"""

from __future__ import annotations

import argparse
import logging
import os
import time

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402

import corvane  # noqa: E402
from corvane.geometry import strip  # noqa: E402
from corvane.materials import silica, silicon  # noqa: E402

FAST = os.environ.get("CORVANE_EXAMPLES_FAST") == "1"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--accuracy", type=float, default=1e-3, help="target on neff")
    parser.add_argument("--step", type=float, default=0.05 if FAST else None,
                        help="one solve on one grid of this step (um)")
    parser.add_argument("--modes", type=int, default=4)
    parser.add_argument("--verbose", action="store_true", help="log progress and timings")
    args = parser.parse_args()
    if args.verbose:
        logging.basicConfig(level=logging.INFO)

    structure = strip(width=0.5, height=0.22, core=silicon, cladding=silica)
    how = dict(step=args.step) if args.step else dict(accuracy=args.accuracy)
    started = time.perf_counter()
    modes = corvane.solve(structure, wavelength=1.55, num_modes=args.modes, pml=0.5, **how)

    grid = f"step {args.step} um" if args.step else f"accuracy {args.accuracy:g}"
    print(f"Silicon strip 0.5 x 0.22 um in silica, lambda = 1.55 um, finest grid "
          f"{modes.grid.nx} x {modes.grid.ny} cells ({grid}, PML 0.5 um), solved in "
          f"{time.perf_counter() - started:.2f} s")
    print(modes.table())
    ax = modes[0].plot()
    ax.set_xlim(-1.0, 1.0)  # the window reaches far out for the weakly guided modes: show the guide
    ax.set_ylim(-0.8, 1.0)
    ax.figure.savefig("strip_te0.png", dpi=120, bbox_inches="tight")
    plt.close(ax.figure)
    print("wrote strip_te0.png")


if __name__ == "__main__":
    main()
