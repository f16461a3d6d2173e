"""The stages of one solve in order, from checked arguments to the modes as arrays.

In: a `Request` (`corvane.inputs.check_request`). Out: a `Solution`
(`corvane.result`), with the seconds of each stage in `Solution.timings`. `corvane.solve`
wraps it in a `ModeSet`; the group index by difference runs it at neighbouring wavelengths.
Nothing here imports the mode records, so `corvane.modes` may depend on what depends on this.
"""

from __future__ import annotations

import logging
import time
from contextlib import contextmanager

from corvane import budget, problem, result, search, subproblems
from corvane.inputs import Request
from corvane.result import Solution

log = logging.getLogger("corvane")


def run(request: Request, *, margin: dict | None = None, targets=()) -> Solution:
    """Solve one request: window, materials, sub-problems, search, choice. `margin` widens
    the automatic window ({"x": mx, "y": my}, micrometres); `targets` are effective indices
    to search near (a bend's straight guide)."""
    started = time.perf_counter()
    timings: dict[str, float] = {}
    with _timed(timings, "grid"):
        domain = problem.build_domain(request, margin)
    try:
        with _timed(timings, "sampling"):
            discrete = problem.discretise(request, domain)
        windows = subproblems.windows(domain)
        settings = subproblems.shared_settings(request, discrete, windows)
        with _timed(timings, "solve_wall"):
            centre = search.centre(request, domain, discrete, windows, settings, targets)
            solved = search.solve_windows(windows, discrete.eps, discrete.mu,
                                          settings=settings, at=centre.shift,
                                          guess=centre.guess, cladding=centre.cladding,
                                          targets=centre.targets, ceiling=discrete.n_max,
                                          include_all=request.include_all)
    except (MemoryError, ValueError) as exc:
        if not budget.out_of_memory(exc):
            raise
        raise problem.too_large(request, domain, exc) from exc
    timings["native"] = sum(s.native_seconds for s in solved)
    with _timed(timings, "classification"):
        solution = result.choose(request, domain, discrete, windows, solved, centre)
    timings["total"] = time.perf_counter() - started
    # Python work: everything outside the sub-problem solves, plus the array work inside them
    # (material stretching, field unstretching, energy fractions), summed over threads.
    timings["python"] = timings["total"] - timings["solve_wall"] + \
        sum(s.python_seconds for s in solved)
    solution.timings.update(timings)
    log.info("solved %d x %d cells (%s, %d sub-problem%s, %s): %d physical of %d modes in "
             "%.3f s (native %.3f s)", len(solution.grid.x_edges) - 1,
             len(solution.grid.y_edges) - 1, solution.formulation, len(windows),
             "s" if len(windows) > 1 else "", solution.backend, solution.physical_count,
             len(solution.modes) + len(solution.hidden), timings["total"], timings["native"])
    return solution


@contextmanager
def _timed(timings: dict, stage: str):
    """Record the seconds the block takes as `timings[stage]`."""
    t = time.perf_counter()
    yield
    timings[stage] = time.perf_counter() - t
