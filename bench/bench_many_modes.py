"""Time of `corvane.solve` as the number of modes asked grows past what the guide has: a
silicon strip (0.5 x 0.22 um, four guided modes at 1.55 um) on a uniform 48 x 40 grid with
0.3 um of PML, and a 3 um wide multimode strip whose 20 modes are all asked.

    .venv/bin/python bench/bench_many_modes.py

Prints the modes returned and the wall time of each solve.
Timings are wall clock on a shared machine: quote them with the load.
"""

from __future__ import annotations

import os
import time
import warnings

import corvane
from corvane.geometry import strip
from corvane.grid import Grid

CASES = (
    ("strip 0.5 x 0.22, 48 x 40 cells", strip(width=0.5, height=0.22, core=3.48, cladding=1.444),
     dict(grid=Grid.uniform(x=(-1.2, 1.2), y=(-1, 1), step=0.05), pml=0.3), (1, 10, 30, 200)),
    ("strip 3.0 x 0.5, step 0.08", strip(width=3.0, height=0.5, core=3.48, cladding=1.444),
     dict(step=0.08, pml=0.4), (20,)),
)


def main() -> None:
    print(f"load average {os.getloadavg()[0]:.1f} on {os.cpu_count()} cores")
    print(f"{'case':34} {'asked':>6} {'returned':>8} {'seconds':>8}")
    for name, structure, options, counts in CASES:
        for n in counts:
            start = time.perf_counter()
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")  # the short-set warning is expected here
                modes = corvane.solve(structure, 1.55, num_modes=n, **options)
            print(f"{name:34} {n:>6} {len(modes):>8} {time.perf_counter() - start:>8.2f}")


if __name__ == "__main__":
    main()
