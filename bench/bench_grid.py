"""Automatic grids and the memory guard: build time against polygon vertex count, the time
to size and refuse a grid given in nanometres, and (with --memory) the peak memory per cell
of solves on both paths, which calibrates `corvane.budget.BYTES_PER_CELL`.

    PYTHONPATH=python python bench/bench_grid.py [--memory]
"""

import json
import subprocess
import sys
import time

import numpy as np

import corvane as cv
from corvane.budget import Estimate
from corvane.geometry import Polygon, Rectangle, Structure
from corvane.grid import Grid

PEAK = """
import json, resource, sys
import corvane as cv
from corvane.grid import Grid
step, form, sym = float(sys.argv[1]), sys.argv[2], sys.argv[3]
cv.solve(cv.strip(), 1.55, grid=Grid.uniform(x=(-0.5, 0.5), y=(-0.4, 0.6), step=0.1),
         formulation=form)
base = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
g = Grid.uniform(x=(-1.5, 1.5), y=(-1.39, 1.61), step=step)
m = cv.solve(cv.strip(), 1.55, grid=g, formulation=form, symmetry=sym, num_modes=2)
peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
print(json.dumps([m.grid.nx * m.grid.ny, peak - base]))
"""


def grid_times():
    print("vertices   cells (nx x ny)   Grid.auto s")
    for n in (2048, 20000, 100000):
        t = 2 * np.pi * np.arange(n) / n
        s = Structure([Polygon(vertices=np.column_stack([np.cos(t), np.sin(t)]), material=3.48)],
                      background=1.444)
        start = time.perf_counter()
        g = Grid.auto(s, 1.55, step=0.02)
        print(f"{n:>8}   {g.nx:>5} x {g.ny:<5}       {time.perf_counter() - start:8.3f}")


def refusal_time():
    nm = Structure([Rectangle(center=(0, 110), size=(500, 220), material=cv.materials.silicon)],
                   background=cv.materials.silica)
    start = time.perf_counter()
    try:
        cv.solve(nm, 1550, step=0.02, pml=0.5)
    except cv.ProblemTooLarge as exc:
        print(f"nanometre strip refused in {time.perf_counter() - start:.3f} s: {exc}")


def memory():
    print("path        split  cells    peak MB  bytes/cell  model bytes/cell")
    for form, sym, steps in (("diagonal", "none", (0.03, 0.015)), ("diagonal", "auto", (0.03, 0.015)),
                             ("tensorial", "none", (0.03,)), ("tensorial", "auto", (0.03,))):
        for step in steps:
            out = subprocess.run([sys.executable, "-c", PEAK, str(step), form, sym],
                                 capture_output=True, text=True, check=True).stdout
            cells, peak = json.loads(out.splitlines()[-1])
            model = Estimate((cells, 1), form, sym == "auto").bytes / cells
            print(f"{form:<10}  {sym:<5}  {cells:>7}  {peak / 2**20:8.0f}  {peak / cells:10.0f}  "
                  f"{model:10.0f}")


if __name__ == "__main__":
    grid_times()
    refusal_time()
    if "--memory" in sys.argv:
        memory()
