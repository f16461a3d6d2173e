"""Operator applications per solve: the work of the eigen searches, free of machine load.

Every native call of each solve is recorded at the engine boundary (unknowns, modes asked,
operator applications). A solve's size class is its largest sub-problem's unknown count
rounded to a power of two; the target is that no solve takes more than 3x the median
applications of its class (a window holding no wanted mode, or a cluster of PML modes,
must not make a solve stall).

    PYTHONPATH=python python bench/bench_applications.py
"""

from __future__ import annotations

import math
import statistics
import sys
import time

import corvane
from corvane import engine
from corvane.geometry import Layer, Rectangle, Structure, rib, slot, strip
from corvane.materials import silica, silicon

CALLS: list[tuple[int, int, int]] = []


def _recording(solver):
    def call(**kwargs):
        r = solver(**kwargs)
        unknowns = (4 if solver is _TENSORIAL else 2) * kwargs["nx"] * kwargs["ny"]
        CALLS.append((unknowns, kwargs["num_modes"], int(r.operator_applications)))
        return r
    return call


_DIAGONAL, _TENSORIAL = engine.solve_diagonal, engine.solve_tensorial
engine.solve_diagonal = _recording(_DIAGONAL)
engine.solve_tensorial = _recording(_TENSORIAL)

STRIP = strip()
SOI = Structure([Layer(y=(-math.inf, -0.4), material=silicon),
                 Rectangle(center=(0, 0.11), size=(0.5, 0.22), material=silicon)],
                background=silica)
COUPLER = Structure([Rectangle(center=(s * 0.35, 0.11), size=(0.4, 0.22), material=silicon)
                     for s in (-1, 1)], background=silica)
BEND = strip(core=3.48, cladding=1.444)


def cases():
    yield "strip, 1 mode", lambda: corvane.solve(STRIP, 1.55)
    yield "strip, 2 modes", lambda: corvane.solve(STRIP, 1.55, num_modes=2)
    yield "strip, 4 modes (2 exist)", lambda: corvane.solve(STRIP, 1.55, num_modes=4)
    yield "strip, guess TE0", lambda: corvane.solve(STRIP, 1.55, num_modes=2, neff_guess=2.443)
    yield "strip, guess TM0", lambda: corvane.solve(STRIP, 1.55, num_modes=2, neff_guess=1.782)
    modes = corvane.solve(STRIP, 1.55, num_modes=2)
    yield "strip TE0 group index (difference)", lambda: modes[0].group_index("difference")
    yield "strip TM0 group index (difference)", lambda: modes[1].group_index("difference")
    yield "rib, 2 modes", lambda: corvane.solve(rib(width=0.6, slab_height=0.09), 1.55,
                                                num_modes=2)
    yield "slot in air, 2 modes", lambda: corvane.solve(slot(cladding=1.0), 1.55, num_modes=2)
    yield "leaky SOI wire", lambda: corvane.solve(SOI, 1.55, step=0.025)
    yield "coupler, 4 modes", lambda: corvane.solve(COUPLER, 1.55, num_modes=4)
    for radius in (1.5, 2.0, 3.0):
        yield f"bend R = {radius} um", lambda r=radius: corvane.solve(BEND, 1.55, bend_radius=r)


def main() -> None:
    rows = []
    for name, run in cases():
        CALLS.clear()
        start = time.perf_counter()
        run()
        seconds = time.perf_counter() - start
        calls = list(CALLS)
        size = max(u for u, _, _ in calls)
        rows.append((name, 2 ** round(math.log2(size)), sum(a for _, _, a in calls),
                     max(a for _, _, a in calls), len(calls), seconds, [a for _, _, a in calls]))
    medians = {}
    for cls in {r[1] for r in rows}:
        medians[cls] = statistics.median(r[2] for r in rows if r[1] == cls)
    print(f"{'case':<38} {'class':>7} {'calls':>5} {'apps':>6} {'max/call':>8} "
          f"{'x median':>8} {'s':>6}")
    worst = 0.0
    for name, cls, total, most, count, seconds, _ in rows:
        ratio = total / medians[cls]
        worst = max(worst, ratio)
        print(f"{name:<38} {cls:>7} {count:>5} {total:>6} {most:>8} {ratio:>8.2f} "
              f"{seconds:>6.2f}")
    print(f"largest applications / median of its size class: {worst:.2f} (target <= 3)")
    # A stalled eigen search runs its 1,000 restarts: some 17,000 applications in one call.
    every = [a for r in rows for a in r[6]]
    name, most = max(((r[0], r[3]) for r in rows), key=lambda t: t[1])
    print(f"largest single eigen search: {most} applications ({name}); median of all "
          f"{len(every)} searches: {statistics.median(every):.0f}")
    sys.stdout.flush()


if __name__ == "__main__":
    main()
