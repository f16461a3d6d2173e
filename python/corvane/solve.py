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
its decay length asks for (`corvane.window`); a short result warns. With `accuracy=` (the
default when neither step nor grid is given) that window is found at a coarse step and
`corvane.refine` runs the pipeline on finer and finer subdivisions of it, extrapolating neff.

Conventions (lengths in micrometres, fields ~ exp(i(k0 neff z - omega t)), Im(neff) > 0 is
loss, the staggered grid) are described once in docs/user_guide.md.
"""

from __future__ import annotations

import logging
import warnings

from corvane import bend, inputs, pipeline, refine, result
from corvane.inputs import Request
from corvane.modes import Mode, ModeContext, ModeSet
from corvane.pml import PML
from corvane.result import Solution

__all__ = ["solve", "mode_set", "PML"]

log = logging.getLogger("corvane")
log.addHandler(logging.NullHandler())  # silent unless the application configures logging


def solve(structure, wavelength: float, *, num_modes: int = 1, grid=None, step=None,
          pml="auto", symmetry="auto", neff_guess=None, include_all: bool = False,
          formulation: str = "auto", bend_radius=None, max_cells=None, accuracy=None,
          **engine_options):
    """Modes of a waveguide cross-section, the highest effective index first.

    structure: a `corvane.geometry.Structure` (lengths in micrometres).
    wavelength: vacuum wavelength in micrometres.
    num_modes: number of physical (guided or leaky) modes to return.
    grid: a `corvane.grid.Grid` for the window; default `Grid.auto(structure, wavelength,
        step=step)`, which puts cell edges on the interfaces.
    step: the largest cell size in micrometres for the automatic grid: one solve on one grid.
    accuracy: absolute target on neff: solve on a series of finer and finer grids of one
        family (the cells of `grid`, or of a coarse automatic grid, split 2, 3, 4, 5, ...
        times), extrapolate neff to zero step and stop when the estimated error is below
        the target; each mode then carries `neff_error`, fields come from the finest grid
        (see `corvane.refine`). With neither `step` nor `accuracy` nor `grid`, the default is
        accuracy=1e-3.
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
    if accuracy is None and step is None and grid is None:
        accuracy = refine.DEFAULT_ACCURACY
    request = asked = inputs.check_request(
        structure, wavelength, num_modes=num_modes, grid=grid, step=step, pml=pml,
        symmetry=symmetry, neff_guess=neff_guess, include_all=include_all,
        formulation=formulation, bend_radius=bend_radius, max_cells=max_cells,
        accuracy=accuracy, **engine_options)
    if request.accuracy is not None:
        # The first grid of the series: the caller's, or the automatic one at a coarse step.
        request = refine.first_request(request)
    targets = ()
    if request.bend_radius is not None:
        targets = _straight_indices(request) if request.neff_guess is None else ()
        starts = list(targets) or ([request.neff_guess] if request.neff_guess else [])
        request = bend.fitted_request(request, starts, auto_pml=isinstance(pml, str))
    solution = pipeline.run_on_wide_enough_window(request, targets=targets)
    if request.accuracy is not None:
        return refine.to_accuracy(
            request, mode_set(request, solution), solution.inner_grid,
            lambda r: mode_set(r, pipeline.run(r, targets=targets)), settings=asked.settings,
            track_grid=lambda r, t, spare: mode_set(r, pipeline.run_tracked(r, t, spare=spare)),
            widened=None if request.grid is not None or request.bend_radius is not None else
            lambda r, margin: _first_grid(r, pipeline.run(r, margin=margin, targets=targets)))
    result.warn_if_short(solution, request)
    return mode_set(request, solution)


def _straight_indices(request: Request) -> list[float]:
    """The effective indices of the physical modes of the straight guide of a bend, on the
    automatic (symmetric) window: they only centre the bend's search and window. What the
    bend's own solve finds is what the caller hears about."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", UserWarning)
        step = request.step or refine.first_step(
            request.wavelength, request.structure.max_index(request.wavelength))
        straight = solve(request.structure, request.wavelength, num_modes=request.num_modes,
                         step=step, pml=request.pml, formulation=request.formulation,
                         max_cells=request.max_cells, **request.engine_options)
    return [float(m.neff.real) for m in straight]


def _first_grid(request: Request, solution: Solution) -> tuple:
    """The ModeSet of the first grid of a series and that grid (without its PML)."""
    return mode_set(request, solution), solution.inner_grid


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
                   cladding_index=solution.cladding_index, rim=solution.rim,
                   operator_applications=solution.operator_applications)
