"""Share of a whole `corvane.solve` spent in the Python layer (grid, sampling, PML folding,
classification, unfolding, result records) rather than in the native eigen solve.

`python s` is `ModeSet.timings["python"]`: the time outside the sub-problem solves plus the
array work inside them, summed over the threads (an upper bound); `rest s` is the remainder.

The silicon strip of the demo (0.5 x 0.22 um in silica, PML 0.5 um) at steps of 10 nm and
5 nm, symmetry on (four quarter problems) and off. Target: under 10 %.

    python bench/bench_python_overhead.py [--steps 0.01 0.005] [--repeat 1]
"""

from __future__ import annotations

import argparse
import time

import corvane
from corvane.geometry import strip
from corvane.materials import silica, silicon


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--steps", type=float, nargs="+", default=[0.01, 0.005])
    parser.add_argument("--symmetry", nargs="+", default=["auto", "none"])
    parser.add_argument("--modes", type=int, default=2)
    args = parser.parse_args()
    structure = strip(width=0.5, height=0.22, core=silicon, cladding=silica)
    print(f"{'step um':>8} {'symmetry':>8} {'cells':>9} {'total s':>8} {'rest s':>9} "
          f"{'python s':>9} {'python %':>8}  phases (s)")
    for step in args.steps:
        for symmetry in args.symmetry:
            start = time.perf_counter()
            modes = corvane.solve(structure, 1.55, num_modes=args.modes, step=step, pml=0.5,
                                  symmetry=symmetry)
            total = time.perf_counter() - start
            t = modes.timings
            python = t["python"]
            native = total - python
            phases = ", ".join(f"{k} {v:.3f}" for k, v in t.items())
            cells = modes.grid.nx * modes.grid.ny
            print(f"{step:>8.3f} {symmetry:>8} {cells:>9} {total:>8.2f} {native:>9.2f} "
                  f"{python:>9.3f} {100 * python / total:>7.1f}%  {phases}")


if __name__ == "__main__":
    main()
