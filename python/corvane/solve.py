"""Solve the modes of a cross-section: `corvane.solve(structure, wavelength, ...)`.

A solve checks its arguments (`corvane.inputs`), runs the stages of `corvane.pipeline` and
wraps the `Solution` in a `ModeSet`. The stages, each a module with one job:

1. `corvane.problem`: the `Domain` (the grid, the PML cells outside it (`corvane.pml`), the
   mirror planes and the half window solved (`corvane.symmetry`)) and the `Problem`
   (materials sampled on it, bent, the PML stretch);
2. `corvane.subproblems`: the windows solved separately (one per wall type on each mirror
   plane), each a `SubProblem` with the PML folded in and its electric walls detuned;
3. `corvane.search`: where to centre the eigen search (largest index, guess, or the modes
   over a substrate) and how many modes to ask each window for (`corvane.native` makes the
   call, `corvane.classify` labels what comes back);
4. `corvane.result`: choose the modes and unfold them to the full window.

Around the pipeline: a bend first solves its straight guide, whose modes place its window
past the radiation caustic and centre its search (`corvane.bend.fitted_request`); on the
automatic grid, a guided mode whose tail reaches the PML has the solve repeated on the window
its decay length asks for (`corvane.window`); a short result warns.

Conventions (lengths in micrometres, fields ~ exp(i(k0 neff z - omega t)), Im(neff) > 0 is
loss, the staggered grid) are described once in docs/user_guide.md.
"""

from __future__ import annotations

import dataclasses
import logging
import warnings

from corvane import bend, inputs, pipeline, result, window
from corvane.analysis import imag_floor
from corvane.inputs import Request
from corvane.modes import Mode, ModeContext, ModeSet
from corvane.pml import PML
from corvane.result import Solution

__all__ = ["solve", "mode_set", "PML"]

log = logging.getLogger("corvane")
log.addHandler(logging.NullHandler())  # silent unless the application configures logging


def solve(structure, wavelength: float, *, num_modes: int = 1, grid=None, step=None,
          pml="auto", symmetry="auto", neff_guess=None, include_all: bool = False,
          formulation: str = "auto", bend_radius=None, max_cells=None, **engine_options):
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
    max_cells: refuse (`corvane.ProblemTooLarge`) grids of more cells, PML included; by
        default a grid is refused when its estimated memory (`corvane.estimate`) exceeds
        80% of the memory available. Checked before the grid is built.
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
    request = inputs.check_request(
        structure, wavelength, num_modes=num_modes, grid=grid, step=step, pml=pml,
        symmetry=symmetry, neff_guess=neff_guess, include_all=include_all,
        formulation=formulation, bend_radius=bend_radius, max_cells=max_cells,
        **engine_options)
    targets = ()
    if request.bend_radius is not None:
        targets = _straight_indices(request) if request.neff_guess is None else ()
        starts = list(targets) or ([request.neff_guess] if request.neff_guess else [])
        request = bend.fitted_request(request, starts, auto_pml=isinstance(pml, str))
    solution = pipeline.run(request, targets=targets)
    for widenings in range(window.MAX_WIDENINGS + 1 if request.bend_radius is None else 0):
        current = window.current_margins(request.structure, solution.inner_grid)
        wider = window.wider_margins(solution.modes, solution.rim, current, request.wavelength) \
            if current else None
        if wider is None or widenings == window.MAX_WIDENINGS:
            break
        if request.grid is not None:
            # The caller's window: say what it lacks once it shows in the loss.
            if any(m.kind == "guided" and abs(m.neff.imag) > imag_floor(m.neff, m.residual)
                   for m in solution.modes):
                warnings.warn(window.tight_message(current, wider), UserWarning, stacklevel=2)
            break
        log.info("guided tails reach the PML: solving again with margins %s um", wider)
        before = solution.operator_applications
        solution = pipeline.run(request, margin=wider, targets=targets)
        solution = dataclasses.replace(
            solution, operator_applications=before + solution.operator_applications)
    result.warn_if_short(solution, request)
    return mode_set(request, solution)


def _straight_indices(request: Request) -> list[float]:
    """The effective indices of the physical modes of the straight guide of a bend, on the
    automatic (symmetric) window: they only centre the bend's search and window. What the
    bend's own solve finds is what the caller hears about."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", UserWarning)
        straight = solve(request.structure, request.wavelength, num_modes=request.num_modes,
                         step=request.step, pml=request.pml, formulation=request.formulation,
                         max_cells=request.max_cells, **request.engine_options)
    return [float(m.neff.real) for m in straight]


def mode_set(request: Request, solution: Solution) -> ModeSet:
    """The `ModeSet` of one solve: a `Mode` per chosen mode, sharing one `ModeContext`."""
    settings = request.settings
    context = ModeContext(grid=solution.grid, structure=request.structure,
                          wavelength=request.wavelength, pml_mask=solution.pml_mask,
                          inner_grid=solution.inner_grid, settings=settings)
    records = {id(m): Mode(neff=m.neff, ex=m.fields[0], ey=m.fields[1], ez=m.fields[2],
                           hx=m.fields[3], hy=m.fields[4], hz=m.fields[5], kind=m.kind,
                           parity=m.parity, residual=m.residual,
                           wall_fraction=m.wall_fraction, pml_fraction=m.pml_fraction,
                           context=context)
               for m in solution.all_modes}
    return ModeSet(modes=tuple(records[id(m)] for m in solution.modes),
                   all_modes=tuple(records[id(m)] for m in solution.all_modes),
                   hidden=solution.hidden, grid=solution.grid,
                   structure=request.structure, wavelength=request.wavelength,
                   settings=settings, sampled=solution.sampled, timings=solution.timings,
                   backend=solution.backend, formulation=solution.formulation,
                   cladding_index=solution.cladding_index,
                   operator_applications=solution.operator_applications)
