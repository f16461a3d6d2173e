"""Solve the modes of a cross-section: `corvane.solve(structure, wavelength, ...)`.

One solve is a pipeline of stages, each a module with one job:

1. `corvane.inputs`: check every argument (ValueError/TypeError naming the argument and the
   fix) into a `Request`;
2. `corvane.problem`: the `Domain` (the grid, the PML cells outside it, the mirror planes and
   the half window solved) and the `Problem` (materials sampled on it, bent, PML stretch);
3. `corvane.subproblems`: the windows solved separately (one per wall type on each mirror
   plane), each a `SubProblem` with the PML folded in and its electric walls detuned;
4. `corvane.search`: where to centre the eigen search (largest index, guess, or the modes
   over a substrate) and how many modes to ask each window for (`corvane.native` makes the
   call, `corvane.classify` labels what comes back);
5. `corvane.result`: choose the modes, unfold them with their parity (`corvane.symmetry`) and
   return a `ModeSet`.

Conventions (lengths in micrometres, fields ~ exp(i(k0 neff z - omega t)), Im(neff) > 0 is
loss, the staggered grid) are described once in docs/user_guide.md.
"""

from __future__ import annotations

import dataclasses
import logging
import time
import warnings
from contextlib import contextmanager

from corvane import bend, inputs, problem, result, search, subproblems, window
from corvane.analysis import imag_floor
from corvane.pml import PML

__all__ = ["solve", "PML"]

log = logging.getLogger("corvane")
log.addHandler(logging.NullHandler())  # silent unless the application configures logging


def solve(structure, wavelength: float, *, num_modes: int = 1, grid=None, step=None,
          pml="auto", symmetry="auto", neff_guess=None, include_all: bool = False,
          formulation: str = "auto", bend_radius=None, **engine_options):
    """Modes of a waveguide cross-section, the highest effective index first.

    structure: a `corvane.geometry.Structure` (lengths in micrometres).
    wavelength: vacuum wavelength in micrometres.
    num_modes: number of physical (guided or leaky) modes to return.
    grid: a `corvane.grid.Grid` for the window; default `Grid.auto(structure, wavelength,
        step=step)`, which puts cell edges on the interfaces.
    step: the largest cell size in micrometres for the automatic grid.
    pml: thickness in micrometres added outside the window on every side, a `corvane.PML`
        with one thickness per side (and its strength), 0 for closed electric walls, or
        "auto" (half a wavelength on every side).
    symmetry: "auto" solves the two halves of a mirror-symmetric structure separately (with a
        magnetic and an electric wall on the plane) and unfolds them; "none" solves the
        whole window; "x", "y" or "xy" require those planes.
    neff_guess: search around this effective index instead of from the largest index down.
    include_all: also return wall-bound and PML modes (labelled by `Mode.kind`).
    formulation: "diagonal", "tensorial" or "auto" (tensorial only when a material has
        off-diagonal terms).
    bend_radius: bend radius in micrometres, applied to the sampled materials by
        `corvane.bend.apply_bend`; it breaks the mirror symmetry in x.
    engine_options: passed to the native solver (e.g. krylov_dim).

    Returns a `ModeSet` sorted by descending Re(neff). Raises ValueError or TypeError naming
    the argument and the fix before any native work.

    Example::

        import corvane
        from corvane.geometry import strip
        from corvane.materials import silicon, silica
        modes = corvane.solve(strip(width=0.5, height=0.22, core=silicon, cladding=silica),
                              wavelength=1.55, num_modes=2, step=0.02)
        print(modes.neff, [m.polarization for m in modes])
    """
    started = time.perf_counter()
    request = inputs.check_request(
        structure, wavelength, num_modes=num_modes, grid=grid, step=step, pml=pml,
        symmetry=symmetry, neff_guess=neff_guess, include_all=include_all,
        formulation=formulation, bend_radius=bend_radius, engine_options=engine_options)
    targets = ()
    if request.bend_radius is not None:
        # A bend's modes start from the straight guide's: its window reaches past their
        # radiation caustic and the search centres on them, not on the transformed index,
        # which is largest at the outer rim.
        targets = _straight_indices(request) if request.neff_guess is None else ()
        starts = list(targets) or ([request.neff_guess] if request.neff_guess else [])
        request = bend.fitted_request(request, starts, auto_pml=isinstance(pml, str))
    modes, rim, grid = _solve_once(request, None, targets, started)
    # A guided mode whose tail reaches the PML gets the window its decay length asks for
    # (a wider window may bring a weaker guided mode in, hence a second widening).
    for widenings in range(window.MAX_WIDENINGS + 1 if request.bend_radius is None else 0):
        current = window.current_margins(request.structure, grid)
        wider = window.wider_margins(modes, rim, current) if current else None
        if wider is None or widenings == window.MAX_WIDENINGS:
            break
        if request.grid is not None:
            # The caller's window: say what it lacks once it shows in the loss.
            if any(m.kind == "guided" and abs(m.neff.imag) > imag_floor(m.neff, m.residual)
                   for m in modes):
                warnings.warn(window.tight_message(current, wider), UserWarning, stacklevel=2)
            break
        log.info("guided tails reach the PML: solving again with margins %s um", wider)
        before = modes.operator_applications
        modes, rim, grid = _solve_once(request, wider, targets, started)
        modes = dataclasses.replace(
            modes, operator_applications=before + modes.operator_applications)
    result.warn_if_short(modes, request)
    return modes


def _straight_indices(request: inputs.Request) -> list[float]:
    """The effective indices of the physical modes of the straight guide of a bend, on the
    automatic (symmetric) window: they only centre the bend's search and window. What the
    bend's own solve finds is what the caller hears about."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", UserWarning)
        straight = solve(request.structure, request.wavelength, num_modes=request.num_modes,
                         step=request.step, pml=request.pml, formulation=request.formulation,
                         **request.engine_options)
    return [float(m.neff.real) for m in straight]


def _solve_once(request: inputs.Request, margin, targets, started: float):
    """One pass of the pipeline on one window: the ModeSet, the rim index of each axis and
    the grid of the window (without PML)."""
    timings: dict[str, float] = {}
    with _timed(timings, "grid"):
        domain = problem.build_domain(request, margin)
    with _timed(timings, "sampling"):
        discrete = problem.discretise(request, domain)
    windows = subproblems.windows(domain)
    settings = subproblems.shared_settings(request, discrete, windows)
    with _timed(timings, "solve_wall"):
        centre = search.centre(request, domain, discrete, windows, settings, targets)
        solved = search.solve_windows(windows, discrete.eps, discrete.mu, settings=settings,
                                      at=centre.shift, guess=centre.guess,
                                      cladding=centre.cladding, targets=centre.targets,
                                      ceiling=discrete.n_max,
                                      include_all=request.include_all)
    timings["native"] = sum(s.native_seconds for s in solved)
    modes = result.assemble(request, domain, discrete, windows, solved, centre,
                            timings=timings, started=started)
    return modes, centre.rim, domain.grid


@contextmanager
def _timed(timings: dict, stage: str):
    """Record the seconds the block takes as `timings[stage]`."""
    t = time.perf_counter()
    yield
    timings[stage] = time.perf_counter() - t
