"""The stages of one solve in order, from checked arguments to the modes as arrays.

In: a `Request` (`corvane.inputs.check_request`). Out: a `Solution`
(`corvane.result`), with the seconds of each stage in `Solution.timings`. `corvane.solve`
wraps it in a `ModeSet`; the group index by difference runs it at neighbouring wavelengths.
Nothing here imports the mode records, so `corvane.modes` may depend on what depends on this.
"""

from __future__ import annotations

import dataclasses
import logging
import time
import warnings
from contextlib import contextmanager

from corvane import budget, problem, result, search, subproblems, window
from corvane.analysis import imag_floor
from corvane.inputs import Request
from corvane.result import Solution

log = logging.getLogger("corvane")

# Modes asked for beyond the tracked ones of a sub-problem: none at first (a spare far from
# the prediction costs most of the iteration); a second try asks for a few, room for
# neighbours that come nearer the prediction than a tracked mode on the finer grid.
TRACKING_SPARE = 0
# Predicted indices of one sub-problem closer than this share one search.
TRACKING_GROUP = 0.05


def run(request: Request, *, margin: dict | None = None, targets=()) -> Solution:
    """Solve one request: window, materials, sub-problems, search, choice. `margin` widens
    the automatic window ({"x": mx, "y": my}, micrometres); `targets` are effective indices
    to search near (a bend's straight guide)."""
    started = time.perf_counter()
    timings: dict[str, float] = {}
    with _timed(timings, "grid"):
        domain = problem.build_domain(request, margin)
    with _out_of_memory_named(request, domain):
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
            if len(centre.targets) > 1 and not request.include_all:
                solved = search.search_other_targets(solved, windows, discrete.eps,
                                                     discrete.mu, settings=settings,
                                                     centre=centre,
                                                     num_modes=request.num_modes)
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


def run_tracked(request: Request, tracked: list, *, spare: int = TRACKING_SPARE) -> Solution:
    """One grid of an accuracy series, whose modes are known from the coarser grid before:
    only the sub-problems holding them are solved, each asked for its modes (and `spare`
    more) nearest their predicted indices, with a small Krylov basis.

    tracked: (parity, predicted neff) of each mode. The chosen modes are the physical ones
    nearest the predictions; `corvane.refine` checks them against the coarser grid's."""
    started = time.perf_counter()
    timings: dict[str, float] = {}
    with _timed(timings, "grid"):
        domain = problem.build_domain(request)
    with _out_of_memory_named(request, domain):
        with _timed(timings, "sampling"):
            discrete = problem.discretise(request, domain)
        parities = {p for p, _ in tracked}
        every = subproblems.windows(domain)
        # Modes of another symmetry (a window no longer split) are looked for everywhere.
        windows = [w for w in every if w.parity in parities] or every
        settings = subproblems.shared_settings(request, discrete, windows)
        requests = []
        for w in windows:
            near = [n.real for p, n in tracked if p == w.parity] or \
                [n.real for _, n in tracked]
            most = subproblems.window_capacity(w, settings.tensorial)
            # One search per group of close indices: a search centred between two far apart
            # (a strip's TE0 and TE1) finds cladding modes nearer its centre than either.
            requests.append([(min(len(group) + spare, most), 0.5 * (group[0] + group[-1]))
                             for group in _groups(near)])
        if "krylov_dim" not in settings.options:
            basis = 2 * max(c for r in requests for c, _ in r) + 8
            settings = dataclasses.replace(settings, options={**settings.options,
                                                              "krylov_dim": basis})
        with _timed(timings, "solve_wall"):
            rim = search.rim_indices(domain, discrete, request.wavelength)
            predicted = [n.real for _, n in tracked]
            centre = search.Centre(max(predicted), None, predicted, max(rim.values()), rim)
            solved = search.solve_near(windows, discrete.eps, discrete.mu, settings=settings,
                                       cladding=centre.cladding, requests=requests)
    timings["native"] = sum(s.native_seconds for s in solved)
    request = dataclasses.replace(request, num_modes=len(tracked), neff_guess=None)
    with _timed(timings, "classification"):
        solution = result.choose(request, domain, discrete, windows, solved, centre)
    timings["total"] = time.perf_counter() - started
    timings["python"] = timings["total"] - timings["solve_wall"]
    solution.timings.update(timings)
    log.info("tracked %d mode(s) on %d x %d cells (%d sub-problem%s) in %.3f s",
             len(tracked), len(solution.grid.x_edges) - 1, len(solution.grid.y_edges) - 1,
             len(windows), "s" if len(windows) > 1 else "", timings["total"])
    return solution


def run_on_wide_enough_window(request: Request, *, targets=()) -> Solution:
    """`run`, repeated (at most `window.MAX_WIDENINGS` times) on the margins a guided mode's
    decay length asks for while its tail reaches the PML of the automatic grid. On a grid
    the caller gave, say what the window lacks once it shows in the loss instead. A bend's
    window is fitted beforehand (`corvane.bend.fitted_request`) and runs once."""
    solution = run(request, targets=targets)
    if request.bend_radius is not None:
        return solution
    for widenings in range(window.MAX_WIDENINGS):
        current = window.current_margins(request.structure, solution.inner_grid)
        wider = window.wider_margins(solution.modes, solution.rim, current, request.wavelength) \
            if current else None
        if wider is None:
            break
        if request.grid is not None:
            if any(m.kind == "guided" and abs(m.neff.imag) > imag_floor(m.neff, m.residual)
                   for m in solution.modes):
                warnings.warn(window.tight_message(current, wider), UserWarning, stacklevel=3)
            break
        log.info("guided tails reach the PML: solving again with margins %s um", wider)
        before = solution.operator_applications
        solution = run(request, margin=wider, targets=targets)
        solution = dataclasses.replace(
            solution, operator_applications=before + solution.operator_applications)
    current = window.current_margins(request.structure, solution.inner_grid)
    message = window.cut_off_message(solution.modes, solution.rim, current, request.wavelength) \
        if current and request.grid is None else None
    if message:
        warnings.warn(message, UserWarning, stacklevel=3)
    return solution


def _groups(indices: list) -> list:
    """The indices in descending order, in groups whose neighbours lie within
    `TRACKING_GROUP` of each other."""
    out = []
    for n in sorted(indices, reverse=True):
        if out and out[-1][-1] - n <= TRACKING_GROUP:
            out[-1].append(n)
        else:
            out.append([n])
    return [sorted(g) for g in out]


@contextmanager
def _out_of_memory_named(request: Request, domain):
    """Turn a failed allocation of the native work into the budget's `ProblemTooLarge`."""
    try:
        yield
    except (MemoryError, ValueError) as exc:
        if not budget.out_of_memory(exc):
            raise
        raise problem.too_large(request, domain, exc) from exc


@contextmanager
def _timed(timings: dict, stage: str):
    """Record the seconds the block takes as `timings[stage]`."""
    t = time.perf_counter()
    yield
    timings[stage] = time.perf_counter() - t
