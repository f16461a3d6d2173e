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
request starts from `FIRST_REQUEST`), until enough physical ones came back or the search has
scanned down to the rim index.
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
FIRST_REQUEST = 24


@dataclass(frozen=True)
class Centre:
    """Where a solve searches."""

    shift: float  # the effective index the eigen search centres on
    guess: float | None  # the index the modes are chosen near (None: from the top down)
    targets: list  # indices of the modes over a substrate, or empty
    cladding: float  # the rim index: below it a mode radiates through the rim


def centre(request: Request, domain: Domain, problem: Problem, windows: list[Window],
           settings: SubproblemSettings) -> Centre:
    """The rim index and where to centre the search (see the module docstring)."""
    cladding = rim_index(domain, problem, request.wavelength)
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
    return Centre(shift, shift if targets else request.neff_guess, targets, cladding)


def solve_windows(windows: list[Window], eps, mu, *, settings: SubproblemSettings, at: float,
                  guess, cladding: float, include_all: bool) -> list[WindowModes]:
    """The modes of every window; two windows run side by side, one core each."""
    run = partial(solve_window, eps=eps, mu=mu, settings=settings, at=at, guess=guess,
                  cladding=cladding, include_all=include_all)
    if len(windows) > 1:
        with ThreadPoolExecutor(max_workers=2) as pool:
            return list(pool.map(run, windows))
    return [run(windows[0])]


def solve_window(win: Window, *, eps, mu, settings: SubproblemSettings, at: float, guess,
                 cladding: float, include_all: bool) -> WindowModes:
    """The modes of one window nearest `at`: more each round until `settings.num_modes`
    physical ones came back, the search reached the rim index, or the window ran out."""
    started = time.perf_counter()
    sub = SubProblem(win, eps, mu, settings, cladding)
    num_modes, most = settings.num_modes, capacity(sub.unknowns)
    full = min(num_modes + max(4, num_modes), most)
    # A request costs about its square: many modes are asked in doubling rounds from
    # FIRST_REQUEST, so that a search which has scanned down to the rim index with the few
    # modes the guide has stops early, and reaches the full request otherwise.
    request = full if include_all else min(full, FIRST_REQUEST)
    for round_ in range(MAX_REQUEST_ROUNDS + math.ceil(math.log2(full / request))):
        found = sub.ask(request, at)
        m = len(found.neffs)
        physical = sum(k in PHYSICAL_KINDS for k in found.kinds)
        log.debug("window %s: %d of %d modes physical (round %d)", win.parity, physical, m,
                  round_ + 1)
        # The eigen search returns every eigenvalue nearer the shift than its farthest one:
        # once that radius spans [cladding, shift], every guided mode of this window is here.
        # A search that came back with fewer modes than asked has none more to give; one
        # whose modes mostly missed the tolerance would only struggle longer with more.
        if m == 0 or m < request or 2 * found.kinds.count("unconverged") > m:
            break
        if settings.tensorial:
            radius, span = np.max(np.abs(found.neffs - at)), at - cladding
        else:
            radius, span = np.max(np.abs(found.neffs**2 - at**2)), at**2 - cladding**2
        scanned = guess is None and span > 0 and radius >= span
        if include_all or physical >= num_modes or scanned or request >= most:
            break
        request = min(2 * request, most)
    else:
        log.info("only %d physical modes found among %d (parity %s); give neff_guess to look "
                 "elsewhere", physical, m, win.parity)
    found.native_seconds = sub.native_seconds
    found.python_seconds = time.perf_counter() - started - sub.native_seconds
    return found


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


def rim_index(domain: Domain, problem: Problem, wavelength: float) -> float:
    """The index above which a mode cannot radiate through the rim of the window.

    For each side (mirror planes excluded) the rim line of cells is a one-dimensional
    cross-section: uniform, its index; layered (a slab reaching the edge), the largest of the
    effective index of its bound slab modes and the indices at its two ends (which reach the
    PML). The result is the largest over the sides."""
    index, cells, planes = problem.index, domain.cells, domain.planes
    left, right, bottom, top = cells
    nx, ny = index.shape
    sides = [("x", nx - right - 1)] + ([("x", left)] if "x" not in planes else [])
    sides += [("y", ny - top - 1)] + ([("y", bottom)] if "y" not in planes else [])
    best = 0.0
    for axis, k in sides:
        line = index[k, :] if axis == "x" else index[:, k]
        lo, hi = (bottom, ny - top) if axis == "x" else (left, nx - right)
        inner = line.real[lo:hi]
        # The ends that reach the PML or a wall; a mirror plane is not an end.
        value = float(inner[-1]) if ("y" if axis == "x" else "x") in planes \
            else float(max(inner[0], inner[-1]))
        if np.ptp(inner) > 1e-9 * inner.max():
            value = max(value, _slab_index(domain, problem, wavelength, axis, k))
        best = max(best, value)
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
                       wavelength=wavelength, options={})
        bound += [n.real for n in r.neffs if abs(n.imag) < 1e-3 * abs(n)]
    return float(max(bound, default=0.0))
