"""The search: where the eigen search centres, and how many modes each sub-problem is asked
for.

In: the discretised `Problem`, its `Domain` and the sub-problem windows. Out: a `Centre` (the
effective index to centre on, the index below which light radiates through the rim of the
window, and the target indices of a search over a substrate) and, per window, the
`WindowModes` found there.

Without a guess the search centres on the largest index inside the window. A high-index
region reaching the rim (a substrate) fills every index up to its own with radiation modes:
the search then centres on the modes found with that region lowered to the rim's next index.
Each window is asked for more modes, up to `MAX_REQUEST_ROUNDS` times (more when a large
request starts from `FIRST_REQUEST`), until it holds every mode the selection could take,
the search has scanned down to the rim index, or it proves unproductive (see
`solve_windows`).
"""

from __future__ import annotations

import logging
import math
import time
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass
from functools import partial

import numpy as np

from corvane.classify import PHYSICAL_KINDS
from corvane.inputs import Request
from corvane.native import run_native
from corvane.pml import stretched_materials
from corvane.problem import Domain, Problem
from corvane.subproblems import (SubProblem, SubproblemSettings, Window, WindowModes,
                                 capacity, detune_walls)

log = logging.getLogger("corvane")

MAX_REQUEST_ROUNDS = 3
# A request costs about its square: a large one starts here and doubles, so that a search
# which has scanned down to the rim index with the few modes the guide has stops early.
FIRST_REQUEST = 24
# A target counts as found when a physical mode lies within this share of its index.
TARGET_REACH = 0.01


@dataclass(frozen=True)
class Centre:
    """Where a solve searches."""

    shift: float  # the effective index the eigen search centres on
    guess: float | None  # the index the modes are chosen near (None: from the top down)
    targets: list  # indices of the modes over a substrate (or of a straight guide), or empty
    cladding: float  # the rim index: below it a mode radiates through the rim
    rim: dict  # the rim index of the sides normal to each axis, {"x": ..., "y": ...}


def centre(request: Request, domain: Domain, problem: Problem, windows: list[Window],
           settings: SubproblemSettings, targets=()) -> Centre:
    """The rim index and where to centre the search (see the module docstring). `targets`,
    when given, are the indices to search near (a bend's straight guide)."""
    rim = rim_indices(domain, problem, request.wavelength)
    cladding = max(rim.values())
    if targets:
        shift = max(targets)
        return Centre(shift, shift, sorted(targets, reverse=True), cladding, rim)
    shift = request.neff_guess if request.neff_guess is not None else problem.n_max
    targets = []
    if request.neff_guess is None and request.pml.any:
        run = partial(solve_windows, windows, settings=settings)
        targets = _buried_guesses(domain, problem, cladding, run)
    if targets:
        # A high-index region reaching the PML (a substrate) fills every index up to its own
        # with radiation modes; search around the modes found with it lowered instead.
        log.info("high-index region on the window rim: searching near neff %s", targets)
        shift = max(targets)
    return Centre(shift, shift if targets else request.neff_guess, targets, cladding, rim)


def solve_windows(windows: list[Window], eps, mu, *, settings: SubproblemSettings, at: float,
                  guess, cladding: float, include_all: bool, targets=(),
                  ceiling: float | None = None) -> list[WindowModes]:
    """The modes of every window nearest `at`, asked for in rounds: each round runs the windows
    still open, two side by side (one core each), and doubles their request.

    A window closes when its search disc already holds every mode the selection could take
    (`_wanted_distance`), when it has scanned down to the rim index (`cladding`) and up to
    `ceiling` (the largest index, default `at`), when a round of it found nothing physical
    while other windows did (the modes nearest `at` there are artefacts of the window, and
    more of them cost without adding a wanted mode), or when it ran out of modes."""
    subs = [SubProblem(win, eps, mu, settings, cladding) for win in windows]
    spent = [0.0] * len(subs)  # seconds in each window's requests, native work included

    def ask(k: int) -> WindowModes:
        started = time.perf_counter()
        modes = subs[k].ask(requests[k], at)
        spent[k] += time.perf_counter() - started
        return modes

    num_modes = settings.num_modes
    full = [min(num_modes + max(4, num_modes), capacity(sub.unknowns)) for sub in subs]
    requests = list(full) if include_all else [min(f, FIRST_REQUEST) for f in full]
    found: list = [None] * len(subs)
    still = list(range(len(subs)))
    ceiling = at if ceiling is None else ceiling
    rounds = MAX_REQUEST_ROUNDS + max(math.ceil(math.log2(f / r)) for f, r in zip(full, requests))
    for round_ in range(rounds):
        for k, modes in zip(still, _run(ask, still)):
            found[k] = modes
        if include_all:
            break
        wanted = _wanted_distance(found, num_modes, at, guess, targets, settings.tensorial)
        productive = any(_physical(f) for f in found)
        still = [k for k in still if not _done(found[k], requests[k], subs[k].unknowns, at,
                                                wanted, cladding, ceiling, settings,
                                                productive)]
        log.debug("round %d: windows %s ask for more", round_ + 1, still)
        if not still:
            break
        for k in still:
            requests[k] = min(2 * requests[k], capacity(subs[k].unknowns))
    else:
        short = [windows[k].parity for k in still]
        log.info("only %d physical modes found (windows %s still short); give neff_guess to "
                 "look elsewhere", sum(_physical(f) for f in found), short)
    for sub, modes, seconds in zip(subs, found, spent):
        modes.native_seconds = sub.native_seconds
        modes.python_seconds = seconds - sub.native_seconds
    return found


def search_other_targets(solved: list[WindowModes], windows: list[Window], eps, mu, *,
                         settings: SubproblemSettings, centre: Centre,
                         num_modes: int) -> list[WindowModes]:
    """`solved` (a search centred on the highest target) with a search of its own around each
    further target that has no physical mode near it yet, merged window by window.

    Targets far apart (an SOI wire's TE0 and TM0 over a substrate, 0.66 apart) leave the lower
    one beyond the reach of one search: the modes nearest the highest are a cluster of
    substrate and PML modes."""
    for target in centre.targets[1:num_modes]:
        physical = [n for f in solved for n, k in zip(f.neffs, f.kinds) if k in PHYSICAL_KINDS]
        if any(abs(n.real - target) <= TARGET_REACH * abs(target) for n in physical):
            continue
        more = solve_windows(windows, eps, mu, settings=settings, at=target, guess=target,
                             cladding=centre.cladding, include_all=False, targets=[target],
                             ceiling=target)
        solved = [_merged(a, b) for a, b in zip(solved, more)]
    return solved


def _merged(a: WindowModes, b: WindowModes) -> WindowModes:
    """The modes of two searches of one window, each once, the highest Re(neff) first."""
    new = [k for k, n in enumerate(b.neffs)
           if not np.any(np.abs(a.neffs - n) <= 1e-9 * abs(n))]
    neffs = np.concatenate([a.neffs, b.neffs[new]])
    order = np.argsort(-neffs.real, kind="stable")
    both = lambda x, y: np.concatenate([np.asarray(x), np.asarray(y)[new]])[order]
    kinds = [(list(a.kinds) + [b.kinds[k] for k in new])[j] for j in order]
    return WindowModes(neffs[order], np.concatenate([a.fields, b.fields[:, new]], axis=1)[:, order],
                       kinds, both(a.residuals, b.residuals),
                       both(a.wall_fraction, b.wall_fraction), both(a.pml_fraction, b.pml_fraction),
                       a.backend, a.operator_rows, a.native_seconds + b.native_seconds,
                       a.python_seconds + b.python_seconds, a.applications + b.applications)


def solve_near(windows: list[Window], eps, mu, *, settings: SubproblemSettings,
               cladding: float, requests: list) -> list[WindowModes]:
    """The modes of each window nearest each of its requests [(count, effective index),
    ...]: one eigen search per request, two side by side, merged window by window. For a
    grid whose modes are known, with their indices, from a coarser grid of the same family
    (`corvane.refine`)."""
    subs = [SubProblem(win, eps, mu, settings, cladding) for win in windows]
    tasks = [(k, r) for k, window_requests in enumerate(requests) for r in window_requests]
    found = _run(lambda t: subs[tasks[t][0]].ask(*tasks[t][1]), list(range(len(tasks))))
    merged = [None] * len(subs)
    for (k, _), modes in zip(tasks, found):
        merged[k] = modes if merged[k] is None else _merged(merged[k], modes)
    for sub, modes in zip(subs, merged):
        modes.native_seconds = sub.native_seconds
    return merged


def _run(task, indices: list) -> list:
    if len(indices) > 1:
        with ThreadPoolExecutor(max_workers=2) as pool:
            return list(pool.map(task, indices))
    return [task(k) for k in indices]


def _physical(modes: WindowModes) -> int:
    return sum(k in PHYSICAL_KINDS for k in modes.kinds)


def _distance(neffs, at: float, tensorial: bool):
    """The eigen search's distance from the shift: in neff for the tensorial operator, in
    neff^2 for the diagonal one."""
    neffs = np.asarray(neffs)
    return np.abs(neffs - at) if tensorial else np.abs(neffs**2 - at**2)


def _wanted_distance(found: list, num_modes: int, at: float, guess, targets,
                     tensorial: bool) -> float:
    """The search distance within which every mode the selection (`classify.select`) could
    take must lie, from the physical modes found so far; infinity while too few are found.

    Top down, the selection takes the highest Re(neff): modes below the num_modes-th do not
    count, and those above it lie nearer `at`. Near a guess or targets, it takes the nearest
    ones: a mode nearer centre c than the one found lies within |c - at| + delta of `at`."""
    physical = [n for f in found for n, k in zip(f.neffs, f.kinds) if k in PHYSICAL_KINDS]
    if len(physical) < num_modes:
        return np.inf
    centres = list(targets)[:num_modes] if targets else ([guess] if guess is not None else [])
    if not centres:
        cut = sorted((n.real for n in physical), reverse=True)[num_modes - 1]
        return float(_distance(cut, at, tensorial))
    worst = 0.0
    for c in centres:
        count = 1 if targets else num_modes
        delta = sorted(abs(n - c) for n in physical)[count - 1]
        reach = abs(c - at) + delta
        worst = max(worst, reach if tensorial else reach * (abs(at) + abs(c) + delta))
    return worst


def _done(modes: WindowModes, request: int, unknowns: int, at: float, wanted: float,
          cladding: float, ceiling: float, settings: SubproblemSettings,
          productive: bool) -> bool:
    """Whether a window needs no larger request (see `solve_windows`)."""
    # A search that came back with fewer modes than asked has none more to give; one whose
    # modes mostly missed the tolerance would only struggle longer with more.
    m = len(modes.neffs)
    if request >= capacity(unknowns) or m == 0 or m < request \
            or 2 * modes.kinds.count("unconverged") > m:
        return True
    radius = float(np.max(_distance(modes.neffs, at, settings.tensorial)))
    if radius >= wanted:
        return True
    # The eigen search returns every eigenvalue nearer the shift than its farthest one: once
    # that radius spans [cladding, ceiling], every guided mode of this window is here.
    span = max(_distance(cladding, at, settings.tensorial) if cladding < at else 0.0,
               _distance(ceiling, at, settings.tensorial) if ceiling > at else 0.0)
    if span > 0 and radius >= span:
        return True
    return productive and _physical(modes) == 0


def rim_region(index: np.ndarray, cells, planes, level: float) -> np.ndarray:
    """Cells of index >= level connected (4-neighbours) to the rim of the window inside the
    PML, mirror planes excluded. Returned on the whole sub-window, PML cells included."""
    left, right, bottom, top = cells
    nx, ny = index.shape
    high = index.real >= level * (1 - 1e-12)
    seed = np.zeros_like(high)
    seed[left, :] |= "x" not in planes
    seed[nx - right - 1, :] = True
    seed[:, bottom] |= "y" not in planes
    seed[:, ny - top - 1] = True
    region = seed & high
    while True:
        grown = region.copy()
        grown[1:] |= region[:-1]
        grown[:-1] |= region[1:]
        grown[:, 1:] |= region[:, :-1]
        grown[:, :-1] |= region[:, 1:]
        grown &= high
        if np.array_equal(grown, region):
            return region
        region = grown


def _buried_guesses(domain: Domain, problem: Problem, cladding: float, run) -> list[float]:
    """When the largest index reaches the rim (a substrate), the effective indices of the
    modes with that region lowered to the next index of the rim; else an empty list."""
    index, cells, planes = problem.index, domain.cells, domain.planes
    if cladding < problem.n_max * (1 - 1e-9):
        return []
    region = rim_region(index, cells, planes, cladding)
    left, right, bottom, top = cells
    nx, ny = index.shape
    rim = np.zeros_like(region)
    rim[left:nx - right, ny - top - 1] = True
    rim[nx - right - 1, bottom:ny - top] = True
    if "x" not in planes:
        rim[left, bottom:ny - top] = True
    if "y" not in planes:
        rim[left:nx - right, bottom] = True
    # Cells next to the region hold averages across its interface: leave two rows out.
    near = region.copy()
    for _ in range(2):
        grown = near.copy()
        grown[1:] |= near[:-1]
        grown[:-1] |= near[1:]
        grown[:, 1:] |= near[:, :-1]
        grown[:, :-1] |= near[:, 1:]
        near = grown
    lower = index.real[rim & ~near]
    if lower.size == 0:
        return []
    n_low = float(np.max(lower))
    eps_low, mu_low = problem.eps.copy(), problem.mu.copy()
    for r in range(3):
        for c in range(3):
            eps_low[r, c][region] = n_low**2 if r == c else 0
            mu_low[r, c][region] = 1.0 if r == c else 0
    inner_max = float(np.max(np.where(region, 0.0, index.real)))
    if inner_max <= n_low:
        return []
    solved = run(eps_low, mu_low, at=inner_max, guess=None, cladding=n_low, include_all=False)
    return sorted((float(n.real) for s in solved for n, k in zip(s.neffs, s.kinds)
                   if k in PHYSICAL_KINDS), reverse=True)


def rim_indices(domain: Domain, problem: Problem, wavelength: float) -> dict:
    """The index above which a mode cannot radiate through the rim of the window, for the
    sides normal to each axis: {"x": left and right, "y": bottom and top}.

    For each side (mirror planes excluded) the rim line of cells is a one-dimensional
    cross-section: uniform, its index; layered (a slab reaching the edge), the largest of the
    effective index of its bound slab modes and the indices at its two ends (which reach the
    PML). The rim index of an axis is the largest over its sides."""
    index, cells, planes = problem.index, domain.cells, domain.planes
    left, right, bottom, top = cells
    nx, ny = index.shape
    sides = [("x", nx - right - 1)] + ([("x", left)] if "x" not in planes else [])
    sides += [("y", ny - top - 1)] + ([("y", bottom)] if "y" not in planes else [])
    best = {"x": 0.0, "y": 0.0}
    for axis, k in sides:
        line = index[k, :] if axis == "x" else index[:, k]
        lo, hi = (bottom, ny - top) if axis == "x" else (left, nx - right)
        inner = line.real[lo:hi]
        # The ends that reach the PML or a wall; a mirror plane is not an end.
        value = float(inner[-1]) if ("y" if axis == "x" else "x") in planes \
            else float(max(inner[0], inner[-1]))
        if np.ptp(inner) > 1e-9 * inner.max():
            value = max(value, _slab_index(domain, problem, wavelength, axis, k))
        best[axis] = max(best[axis], value)
    return best


def _slab_index(domain: Domain, problem: Problem, wavelength: float, axis: str,
                k: int) -> float:
    """Largest effective index of the bound modes of the rim line k (a column for axis "x",
    a row for "y") as a one-dimensional guide, both parities when the line ends on a mirror
    plane; 0 when it has none."""
    eps, mu, xs, ys, planes = problem.eps, problem.mu, domain.xs, domain.ys, domain.planes
    (sxf, sxb), (syf, syb) = problem.stretch
    one = (np.ones(1, complex), np.ones(1, complex))
    if axis == "x":
        e, m = eps[:, :, k:k + 1, :], mu[:, :, k:k + 1, :]
        x_edges, y_edges = np.array([0.0, xs[k + 1] - xs[k]]), ys
        sx, sy = one, (syf, syb)
    else:
        e, m = eps[:, :, :, k:k + 1], mu[:, :, :, k:k + 1]
        x_edges, y_edges = xs, np.array([0.0, ys[k + 1] - ys[k]])
        sx, sy = (sxf, sxb), one
    e, m = stretched_materials(e, m, sx, sy)
    along = "y" if axis == "x" else "x"
    walls = (True, False) if along in planes else (False,)
    unknowns = (4 if problem.tensorial else 2) * e.shape[2] * e.shape[3]
    bound = []
    for pmc in walls:
        pmc_x, pmc_y = (True, pmc) if axis == "x" else (pmc, True)
        e_w, m_w = e.copy(), m.copy()
        detune_walls(e_w, m_w, pmc_x, pmc_y)
        r = run_native(tensorial=problem.tensorial, x_edges=x_edges, y_edges=y_edges,
                       pmc_x=pmc_x, pmc_y=pmc_y, eps=e_w, mu=m_w,
                       num_modes=min(4, unknowns - 2), shift=problem.n_max,
                       wavelength=wavelength, options={"krylov_dim": 16})
        bound += [n.real for n in r.neffs if abs(n.imag) < 1e-3 * abs(n)]
    return float(max(bound, default=0.0))
