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

import logging
import time
from contextlib import contextmanager

from corvane import inputs, problem, result, search, subproblems
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
    timings: dict[str, float] = {}
    request = inputs.check_request(
        structure, wavelength, num_modes=num_modes, grid=grid, step=step, pml=pml,
        symmetry=symmetry, neff_guess=neff_guess, include_all=include_all,
        formulation=formulation, bend_radius=bend_radius, engine_options=engine_options)
    with _timed(timings, "grid"):
        domain = problem.build_domain(request)
    with _timed(timings, "sampling"):
        discrete = problem.discretise(request, domain)
    windows = subproblems.windows(domain)
    settings = subproblems.shared_settings(request, discrete, windows)
    with _timed(timings, "solve_wall"):
        centre = search.centre(request, domain, discrete, windows, settings)
        solved = search.solve_windows(windows, discrete.eps, discrete.mu, settings=settings,
                                      at=centre.shift, guess=centre.guess,
                                      cladding=centre.cladding,
                                      include_all=request.include_all)
    timings["native"] = sum(s.native_seconds for s in solved)
    return result.assemble(request, domain, discrete, windows, solved, centre,
                           timings=timings, started=started)


@contextmanager
def _timed(timings: dict, stage: str):
    """Record the seconds the block takes as `timings[stage]`."""
    t = time.perf_counter()
    yield
    timings[stage] = time.perf_counter() - t
