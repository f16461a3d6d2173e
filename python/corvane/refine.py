"""Effective indices to a requested accuracy: a series of solves on one grid family,
extrapolated to zero step.

In: a function solving the modes on one grid (`solve_on`, (Grid, num_modes) -> ModeSet), one
solving known modes alone (`track`) and the first, coarsest grid of the automatic family.
Out: the finest grid's modes carrying the extrapolated `neff` and its estimated absolute
error `neff_error` (fields of that grid).

Each grid of the series splits every cell of the first into SUBDIVISIONS[k] equal parts, and
the PML is thickened to whole boundary cells (`nested_pml`), so the window stays and every
cell, the PML's too, shrinks with the step. After the first grid only the sub-problems
holding the modes are solved, each for its modes near the index the coarser grids predict
(`corvane.pipeline.run_tracked`); modes are matched from grid to grid by their power
coupling, and a grid that loses one is solved in full.

On the last three solves of a mode the observed order p is solved from
(n0 - n1) / (n1 - n2) = (h0^p - h1^p) / (h1^p - h2^p): measured, never assumed. Two
extrapolations follow once the orders of the last two (or three) triples agree:
- Richardson's with the order p. Its error is the change from the previous triple's
  extrapolation carried to this step as a term of order min(p - 1/2, 4/3) would fall (what
  is left is a corner's term; 4/3 the slowest, a metal's), and at least the change before
  that carried once more: a bound as long as the remaining error falls at that order.
- For a structure with corners, the limit of n + a h^2 + b h^q with q = 2 nu the order of
  its corners' singular fields (`corvane.corners`), which removes the corner term too. Its
  error is 1.5 times the change carried at order 2, and at least three times the rms misfit
  of the two terms on the last four grids.
The one with the smaller error is kept. A first claim, resting on one change, is at least a
tenth of the extrapolation's own correction. When successive orders disagree (cut cells of
curved interfaces change shape from grid to grid), the limit is a least-squares fit of
limit + C h^p to the last four grids instead, its error the larger of twice the change from
the previous four and three times the fit's residual. No estimate is claimed before four
grids. The series stops when every mode's estimate is below the target, or after the last
subdivision (with a warning giving the estimate reached). docs/grid.md gives the measured
orders and how the estimates compare with references.
"""

from __future__ import annotations

import dataclasses
import logging
import math
import time
import warnings
from dataclasses import dataclass

import numpy as np
from scipy import optimize

from corvane import corners, window
from corvane.geometry import Ellipse, Polygon

log = logging.getLogger("corvane")

# Each grid of a series splits every cell of the first into this many equal parts, so the
# series is nested: the cells of every grid are the same mapping of the window sampled more
# finely, and the error is a smooth function of the step (grids built afresh for each step
# round the cell counts between interfaces differently, which shows as noise of the size of
# the third-order term and spoils the extrapolation).
SUBDIVISIONS = (1, 2, 3, 4, 5, 6, 8, 10, 12, 16, 20, 24)
# What `corvane.solve` aims at when given neither step, grid nor accuracy.
DEFAULT_ACCURACY = 1e-3
# Observed orders outside this range (the scheme is at most second order), or two
# successive orders further apart than ORDER_SPREAD, mean the solves are not yet in the
# asymptotic range (or the error is not smooth in the step: curved interfaces on the
# diagonal path), and no estimate is claimed.
ORDER_RANGE = (0.6, 2.6)
ORDER_SPREAD = 0.5
# A fitted limit's error is at least this multiple of the fit's rms residual.
FIT_SPREAD = 3.0
# What the extrapolation leaves is taken to fall at least at this order: the slowest term a
# right-angled corner leaves. A corner of infinite contrast (metal) has fields ~ r^(-1/3)
# and an error term ~ h^(4/3); dielectric corners fall faster: fits of n + a h^2 + b h^q
# (+ c h^3) to series split up to 32 times gave q = 1.54 for silicon in silica (the strip's
# TE0 and TM0, the SOI wire) and 1.85 for silicon nitride (the rib's TE0).
CORNER_ORDER = 4.0 / 3.0
# ... and at least this much below the observed order (the order of the leading term
# removed): the strip's TM0 has orders drifting from 1.99 to 1.80 as the step falls.
TAIL_ORDER_DROP = 0.5
# A first estimate, resting on one change of the extrapolated value, is at least this share
# of the extrapolation's own correction (two extrapolations can agree by chance: measured up
# to 7 % of the correction on the rib's TM0); so is a fitted one.
CORRECTION_SHARE = 0.1
# A fitted limit's error is at least this multiple of its change from the previous fit.
SAFETY = 2.0
# With the corner term extrapolated away too, what is left is taken to fall as h^2, and the
# estimate is this multiple of the change carried to the step (the terms after the two are
# not known: h^3, the corner's next exponent, products of both).
TWO_TERM_SAFETY = 1.5
# No grid of a series has more cells than this (the window without its PML).
MAX_CELLS = 400_000
# A mode of one grid matches a mode of the next when their power coupling exceeds this.
MATCH_COUPLING = 0.5
# Modes asked for beyond the tracked ones when tracking alone lost one.
RETRY_SPARE = 4
# The level of a series (0 the first grid) whose modes judge the window: near its cut-off a
# mode's neff on the coarse first grid can be far enough above its limit that its tail,
# and the margin it needs, look shorter than they are (the strip's hybrid mode: 4.3 um
# from the first grid, 5.5 um from the converged neff).
WINDOW_CHECK_LEVEL = 2


class WiderWindow(Exception):
    """Raised by a series' window check: restart on these margins {"x": .., "y": ..} (um)."""

    def __init__(self, margins: dict):
        super().__init__(margins)
        self.margins = margins


@dataclass(frozen=True)
class Estimate:
    """One mode's extrapolated effective index, its error estimate and the observed orders
    (real part, imaginary part; None where that part did not change measurably)."""

    neff: complex
    error: float
    order: tuple


def _order(h, v) -> float:
    """The order p with (v0 - v1) / (v1 - v2) = (h0^p - h1^p) / (h1^p - h2^p), or nan."""
    d1, d2 = v[0] - v[1], v[1] - v[2]
    if not (math.isfinite(d1) and math.isfinite(d2)) or d1 * d2 <= 0:
        return math.nan
    target = math.log(d1 / d2)

    def f(p):
        return math.log((h[0] ** p - h[1] ** p) / (h[1] ** p - h[2] ** p)) - target

    lo, hi = 0.05, 8.0
    if f(lo) * f(hi) > 0:
        return math.nan
    return float(optimize.brentq(f, lo, hi, xtol=1e-6))


def _limit(h, v, p) -> float:
    return v[2] - (v[1] - v[2]) * h[2] ** p / (h[1] ** p - h[2] ** p)


def _fit(h, v):
    """(limit, order, rms residual) of the least-squares fit v = limit + C h^p over a few
    grids, p searched in ORDER_RANGE: tolerant of the small non-smooth part of the error
    that curved interfaces leave (their cut cells change shape from grid to grid)."""
    best = None
    for p in np.linspace(*ORDER_RANGE, 101):
        a = np.stack([np.ones_like(h), h**p], axis=1)
        c = np.linalg.lstsq(a, v, rcond=None)[0]
        r = float(np.sum((a @ c - v) ** 2))
        if best is None or r < best[0]:
            best = (r, float(c[0]), float(p))
    return best[1], best[2], math.sqrt(best[0] / len(h))


def _tail(h_before: float, h: float, order: float) -> float:
    """The factor from the change of a value converging at `order` between steps h_before
    and h to its remaining error at h: h^q / (h_before^q - h^q)."""
    return h**order / (h_before**order - h**order)


def _richardson(steps, values):
    """(limit, order) of the last three values by Richardson's extrapolation with their
    observed order, or None when that order is outside ORDER_RANGE."""
    p = _order(steps[-3:], values[-3:])
    if not ORDER_RANGE[0] <= p <= ORDER_RANGE[1]:
        return None
    return _limit(steps[-3:], values[-3:], p), p


def _two_term(steps, values, corner: float) -> float:
    """The limit of the last three values under n + a h^2 + b h^corner."""
    h = np.asarray(steps[-3:], float)
    a = np.stack([np.ones(3), h**2, h**corner], axis=1)
    return float(np.linalg.solve(a, np.asarray(values[-3:], float))[0])


def _two_term_rms(steps, values, corner: float) -> float:
    """The rms residual of n + a h^2 + b h^corner fitted to the last four values."""
    h = np.asarray(steps[-4:], float)
    v = np.asarray(values[-4:], float)
    a = np.stack([np.ones(4), h**2, h**corner], axis=1)
    c = np.linalg.lstsq(a, v, rcond=None)[0]
    return float(np.sqrt(np.mean((a @ c - v) ** 2)))


def _bounded(steps, values, limits: list, tail: float, safety: float):
    """(limit, error) from the extrapolated values of the last grids (newest first, two or
    three): the change of the newest carried to its remaining error at order `tail`."""
    limit = limits[0]
    error = safety * abs(limits[0] - limits[1]) * _tail(steps[-2], steps[-1], tail)
    if len(limits) > 2:
        # Two extrapolations may agree by chance (their error changing sign between grids):
        # the change before this one, carried to this step, bounds it too.
        carried = safety * abs(limits[1] - limits[2]) * _tail(steps[-3], steps[-2], tail)
        error = max(error, carried * (steps[-1] / steps[-2]) ** 2)
    else:
        # A first claim rests on one change only: never far below the correction itself.
        error = max(error, CORRECTION_SHARE * abs(limit - values[-1]))
    return limit, error


def _extrapolate(steps: np.ndarray, values: np.ndarray, floor: float, corner=None):
    """(limit, error, order) of a real sequence on falling steps; error is inf while the
    values are not in the asymptotic range. Changes below `floor` (the solver's own noise)
    count as converged. `corner`: the order of the structure's corner term
    (`corvane.corners.corner_order`), extrapolated away together with the h^2 term."""
    d = np.abs(np.diff(values))
    if len(values) >= 3 and np.all(d[-2:] <= floor):
        return float(values[-1]), float(max(d[-2:].max(), floor)), None
    if len(values) < 4:
        return float(values[-1]), math.inf, None
    now, before = _richardson(steps, values), _richardson(steps[:-1], values[:-1])
    if now and before and abs(now[1] - before[1]) <= ORDER_SPREAD:
        p = now[1]
        earlier = _richardson(steps[:-2], values[:-2]) if len(values) >= 5 else None
        settled = earlier is not None and abs(earlier[1] - p) <= ORDER_SPREAD
        observed = [now[0], before[0]] + ([earlier[0]] if settled else [])
        limit, error = _bounded(steps, values, observed, min(p - TAIL_ORDER_DROP, CORNER_ORDER),
                                1.0)
        if corner is not None:
            n = len(values)
            two = [_two_term(steps[:n - k], values[:n - k], corner)
                   for k in range(len(observed))]
            # The two terms must describe the last four grids, not only the last three.
            e2 = max(_bounded(steps, values, two, 2.0, TWO_TERM_SAFETY)[1],
                     FIT_SPREAD * _two_term_rms(steps, values, corner))
            # Each estimate bounds its own limit on every series measured (docs/grid.md);
            # the tighter one is kept.
            if e2 < error:
                limit, error = two[0], e2
    elif len(values) >= 5:
        limit, p, rms = _fit(steps[-4:], values[-4:])
        change = abs(limit - _fit(steps[-5:-1], values[-5:-1])[0])
        error = max(SAFETY * change, FIT_SPREAD * rms, CORRECTION_SHARE * abs(limit - values[-1]))
    else:
        return float(values[-1]), math.inf, now[1] if now else math.nan
    return float(limit), float(max(error, floor)), p


def estimate(steps, neffs, *, lossy: bool = True, floor: float = 1e-9,
             corner: float | None = None) -> Estimate:
    """The extrapolated neff of one mode from its values on the given (falling) steps.

    lossy: extrapolate Im(neff) too. A guided mode of lossless materials has an Im(neff)
    that is the window's (tails reaching the PML), not the grid's: it is kept from the
    finest grid and left out of the estimate. corner: the order of the structure's corner
    term (`corvane.corners.corner_order`), or None."""
    h = np.asarray(steps, dtype=float)
    v = np.asarray(neffs, dtype=complex)
    re, e_re, p_re = _extrapolate(h, v.real, floor, corner)
    if not lossy:
        return Estimate(complex(re, v[-1].imag), e_re, (p_re, None))
    im, e_im, p_im = _extrapolate(h, v.imag, floor, corner)
    return Estimate(complex(re, im), float(math.hypot(e_re, e_im)), (p_re, p_im))


def subdivided(grid, parts: int):
    """The grid with every cell split into `parts` equal cells (an axis of one cell, the
    invariant axis of a slab, stays one cell)."""
    def split(edges):
        e = np.asarray(edges, float)
        if e.size == 2:
            return e
        t = np.arange(parts) / parts
        inner = (e[:-1, None] + np.diff(e)[:, None] * t[None, :]).ravel()
        return np.concatenate([inner, e[-1:]])

    return type(grid)(split(grid.x_edges), split(grid.y_edges))


def _match(previous: list, modes) -> list:
    """For each mode of the previous grid, the index of its partner among `modes` (by power
    coupling), or -1."""
    taken, out = set(), []
    for m in previous:
        best, where = MATCH_COUPLING, -1
        for j, cand in enumerate(modes):
            if j in taken:
                continue
            c = abs(cand.power_coupling(m))
            if c > best:
                best, where = c, j
        if where >= 0:
            taken.add(where)
        out.append(where)
    return out


def first_step(wavelength: float, n_max: float) -> float:
    """The step of the first grid of a series (micrometres): a fifth of the wavelength in
    the highest-index material."""
    return wavelength / (5.0 * max(n_max, 1.0))


def _predicted(steps, values) -> complex:
    """A mode's neff on the grid of step steps[-1], from its values on the coarser steps
    before it: the second-order trend of the last two, or the last value."""
    if len(values) < 2:
        return values[-1]
    (h1, h2), (v1, v2) = steps[-3:-1], values[-2:]
    slope = (v1 - v2) / (h1**2 - h2**2)
    return v2 + slope * (steps[-1] ** 2 - h2**2)


def converged(solve_on, coarse, *, accuracy: float, num_modes: int, lossy: bool,
              first=None, subdivisions=SUBDIVISIONS, track=None, corner=None, widen=None):
    """Solve on `coarse` (a Grid of the automatic family) and on its subdivisions until
    every one of the first `num_modes` modes is known to `accuracy` (absolute, on neff).

    solve_on(grid, num_modes) -> ModeSet solves one grid; lossy: some material absorbs or
    amplifies (Im(neff) of guided modes is then extrapolated too); first: the ModeSet of
    `coarse` when it is solved already; track(grid, [(parity, predicted neff), ...]) ->
    ModeSet, when given, solves the finer grids for the tracked modes alone (a grid whose
    modes it does not find again is solved in full); corner: the order of the structure's
    corner term (`corvane.corners.corner_order`), extrapolated away; widen(modes), called
    with the modes of the grid split WINDOW_CHECK_LEVEL + 1 times, may raise `WiderWindow`
    to restart the series. The series also stops
    before a grid of more than MAX_CELLS cells. Returns (modes, mode_set, parts): the
    tracked modes of the finest grid with the extrapolated `neff` and `neff_error` (fields
    of the finest grid), that grid's ModeSet and its subdivision."""
    finest = 1
    history: list[list[complex]] = []
    tracked: list = []
    estimates: list[Estimate] = []
    steps: list[float] = []
    mode_set = None
    for level, parts in enumerate(subdivisions):
        if level > 0 and coarse.nx * coarse.ny * parts**2 > MAX_CELLS:
            log.warning("accuracy=%g not reached within %d cells (estimated error %.2e): ask "
                        "for a coarser accuracy or give a coarser grid", accuracy, MAX_CELLS,
                        max((e.error for e in estimates), default=math.inf))
            break
        grid = coarse if parts == 1 else subdivided(coarse, parts)
        finest = parts
        steps.append(1.0 / parts)
        if level == 0:
            mode_set = first if first is not None else solve_on(grid, num_modes)
            modes = [m for m in mode_set.modes if m.is_physical]
            tracked = modes[:num_modes]
            history = [[m.neff] for m in tracked]
        else:
            where = [-1]
            predicted = [(m.parity, _predicted(steps, h)) for m, h in zip(tracked, history)]
            # Tracked alone, then with spare modes (a radiation-like mode among close
            # neighbours), then the whole grid.
            for spare in ((0, RETRY_SPARE) if track is not None else ()):
                mode_set = track(grid, predicted, spare)
                modes = [m for m in mode_set.modes if m.is_physical]
                where = _match(tracked, modes)
                if min(where) >= 0:
                    break
                log.info("accuracy: tracking with %d spare mode(s) lost a mode on the grid "
                         "split %d times", spare, parts)
            if min(where) < 0:
                mode_set = solve_on(grid, num_modes)
                modes = [m for m in mode_set.modes if m.is_physical]
                where = _match(tracked, modes)
            if min(where) < 0:
                # A tracked mode swapped places with a neighbour just below the cut (a
                # degenerate pair, two close polarisations): ask for one mode more.
                mode_set = solve_on(grid, num_modes + 1)
                modes = [m for m in mode_set.modes if m.is_physical]
                where = _match(tracked, modes)
            keep = [k for k, j in enumerate(where) if j >= 0]
            if len(keep) < len(tracked):
                log.warning("accuracy: %d mode(s) not found again on the grid split %d times",
                         len(tracked) - len(keep), parts)
            tracked = [modes[where[k]] for k in keep]
            history = [history[k] + [modes[where[k]].neff] for k in keep]
        estimates = [estimate(steps, h, lossy=lossy or m.kind != "guided", corner=corner)
                     for h, m in zip(history, tracked)]
        worst = max((e.error for e in estimates), default=math.inf)
        log.info("accuracy: cells split %d times, %d x %d cells, worst error estimate %.2e",
                 parts, mode_set.grid.nx, mode_set.grid.ny, worst)
        if worst <= accuracy:
            break
        if widen is not None and level == WINDOW_CHECK_LEVEL:
            widen(tracked)
    else:
        log.warning("accuracy=%g not reached after %d grids (cells split up to %d times): "
                    "the estimated error is %.2e; ask for a coarser accuracy", accuracy,
                    len(subdivisions), subdivisions[-1], max(e.error for e in estimates))
    modes = tuple(dataclasses.replace(m, neff=e.neff, neff_error=e.error)
                  for m, e in zip(tracked, estimates))
    return modes, mode_set, finest


def oblique(structure) -> bool:
    """Whether some interface of the structure is curved or slanted to the grid axes (there
    the diagonal path's error is not smooth in the step, the tensorial path's is second
    order, docs/grid.md)."""
    for shape in structure.shapes:
        if isinstance(shape, Ellipse):
            return True
        if isinstance(shape, Polygon):
            v = np.asarray(shape.vertices, float)
            d = np.diff(np.vstack([v, v[:1]]), axis=0)
            if np.any((np.abs(d[:, 0]) > 1e-12) & (np.abs(d[:, 1]) > 1e-12)):
                return True
    return False


def formulation_for(request) -> str:
    """The fastest route to an accuracy: structures with curved or slanted interfaces go the
    tensorial way (formulation "auto" only), whose error is second order there."""
    if request.formulation == "auto" and oblique(request.structure):
        return "tensorial"
    return request.formulation


def first_request(request):
    """The request of the first grid of a series: its formulation chosen by
    `formulation_for`, on the caller's grid or the automatic one at `first_step`."""
    step = None
    if request.grid is None:
        structure = request.structure
        step = first_step(request.wavelength, structure.max_index(request.wavelength))
        # A structure thinner than that still gets two cells across on the first grid.
        xmin, ymin, xmax, ymax = structure.bounds()
        for a, b in ((xmin, xmax), (ymin, ymax)):
            if a is not None:
                step = min(step, 0.5 * (b - a))
    return dataclasses.replace(request, step=step, formulation=formulation_for(request))


def nested_pml(pml, grid):
    """The PML with each layer thickened to a whole number of the grid's boundary cells.

    A layer is cut into cells no wider than the boundary cell next to it; with a thickness of
    whole boundary cells, the layer of every subdivided grid is the first grid's layer
    subdivided too, so the PML's discretisation error is as smooth in the step as the
    interior's (otherwise the count of layer cells jumps from grid to grid, which showed as
    scatter of 2e-7 in the leaky SOI wire's Im(neff))."""
    x, y = np.asarray(grid.x_edges, float), np.asarray(grid.y_edges, float)
    if len(x) <= 2 or len(y) <= 2:
        return pml
    cells = []
    for low, high in ((x[1] - x[0], x[-1] - x[-2]), (y[1] - y[0], y[-1] - y[-2])):
        # A mirror-symmetric window's two boundary cells may differ by a rounding: the layers
        # must stay equal, or the mirror plane is lost.
        if abs(low - high) <= 1e-9 * max(low, high):
            low = high = max(low, high)
        cells += [float(low), float(high)]
    sides = [math.ceil(t / h - 1e-9) * h if t > 0 else t for t, h in zip(pml.sides, cells)]
    return dataclasses.replace(pml, left=sides[0], right=sides[1], bottom=sides[2],
                               top=sides[3])


def _first_again(first, num_modes: int, coarse, track):
    """The first grid's modes under the series' PML: tracked from those solved before, or None
    (solve it in full) when they are not found again."""
    if track is None:
        return None
    before = [m for m in first.modes if m.is_physical][:num_modes]
    again = track(coarse, [(m.parity, m.neff) for m in before])
    found = [m for m in again.modes if m.is_physical]
    return again if len(found) == len(before) and min(_match(before, found), default=0) >= 0 \
        else None


def to_accuracy(request, first, coarse, solve_grid, *, settings: dict, track_grid=None,
                widened=None):
    """`corvane.solve` with `accuracy=`: the series of grids after its first one.

    request: the checked request of the first grid (`first_request`); first: the ModeSet
    solved on `coarse`, the first grid (its window settled by the solve); solve_grid(request)
    -> ModeSet solves one request on its own grid (the solve's stages); track_grid(request,
    tracked, spare) -> ModeSet solves it for known modes alone ((parity, predicted neff)
    each, `spare` modes more); widened(request, margins) -> (ModeSet, grid) solves the first
    grid again on wider margins (automatic windows only: the series checks its window on its
    third grid); settings: the keywords the caller gave, kept with the result."""
    started = time.perf_counter()
    structure, wavelength = request.structure, request.wavelength
    lossy = bool(np.any(np.imag([m.index(wavelength) for m in structure.materials()]) != 0))
    asked = request
    applications = [first.operator_applications]  # the work of every grid of the series

    def solve_on(grid, num_modes):
        solved = solve_grid(dataclasses.replace(request, grid=grid, step=None, accuracy=None,
                                                num_modes=num_modes))
        applications.append(solved.operator_applications)
        return solved

    def track(grid, tracked, spare=0):
        solved = track_grid(dataclasses.replace(request, grid=grid, step=None, accuracy=None),
                            tracked, spare)
        applications.append(solved.operator_applications)
        return solved

    def widen(modes):
        margins = window.current_margins(structure, coarse)
        wider = window.wider_margins(modes, rim, margins, wavelength)
        if wider is not None:
            raise WiderWindow(wider)

    # include_all asks for the finest grid's wall and PML modes, which only a full solve has.
    tracking = track_grid is not None and not request.include_all
    for restart in range(window.MAX_WIDENINGS + 1):
        rim = first.rim or {"x": first.cladding_index, "y": first.cladding_index}
        nested = nested_pml(asked.pml, coarse)
        request = dataclasses.replace(asked, pml=nested)
        if nested != asked.pml:
            first = _first_again(first, request.num_modes, coarse, track if tracking else None)
        try:
            modes, finest, _ = converged(
                solve_on, coarse, accuracy=request.accuracy, num_modes=request.num_modes,
                lossy=lossy, first=first, track=track if tracking else None,
                corner=corners.corner_order(structure, wavelength),
                widen=widen if widened is not None and restart < window.MAX_WIDENINGS
                else None)
            break
        except WiderWindow as wider:
            log.info("accuracy: the modes of the third grid ask for margins %s um: the "
                     "series starts again on that window", wider.margins)
            first, coarse = widened(asked, wider.margins)
            applications.append(first.operator_applications)
    # Near its cut-off a mode's tail can outgrow the widest window the series may take.
    current = window.current_margins(structure, coarse) if asked.grid is None else None
    rim = finest.rim or {axis: finest.cladding_index for axis in (current or {})}
    message = window.cut_off_message(modes, rim, current, wavelength) if current else None
    if message:
        warnings.warn(message, UserWarning, stacklevel=3)
    if request.include_all:  # the finest grid's wall and PML modes, as they are
        modes = modes + tuple(m for m in finest.modes if not m.is_physical)
    timings = dict(finest.timings, series=time.perf_counter() - started)
    return dataclasses.replace(finest, modes=modes, all_modes=modes, settings=settings,
                               timings=timings, operator_applications=sum(applications))
