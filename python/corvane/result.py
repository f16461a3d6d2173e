"""The result of one solve: the `ModeSet`.

In: the request, its domain and problem, the sub-problem windows with the `WindowModes` found
in each, and where the search centred. Out: a `ModeSet` of the chosen modes, unfolded to the
full window and power-normalised, with a `ModeSummary` of every mode found but not returned,
and the solve's timings (seconds per stage).
"""

from __future__ import annotations

import collections
import logging
import time
import warnings

import numpy as np

from corvane.classify import PHYSICAL_KINDS, RESIDUAL_LIMIT, ModeSummary, select
from corvane.grid import Grid
from corvane.inputs import Request
from corvane.modes import Mode, ModeContext, ModeSet
from corvane.pml import pml_mask
from corvane.problem import Domain, Problem
from corvane.search import Centre
from corvane.subproblems import Window, WindowModes
from corvane.symmetry import mirrored_edges, unfold

log = logging.getLogger("corvane")


def assemble(request: Request, domain: Domain, problem: Problem, windows: list[Window],
             solved: list[WindowModes], centre: Centre, *, timings: dict,
             started: float) -> ModeSet:
    """The modes to return, chosen among light records first so that only they are unfolded
    and stored. `timings` gets the seconds of this stage, the total since `started`, and the
    Python share."""
    t = time.perf_counter()
    settings = request.settings
    xs, ys, planes = domain.xs, domain.ys, domain.planes
    full_x = mirrored_edges(xs) if "x" in planes else xs
    full_y = mirrored_edges(ys) if "y" in planes else ys
    full_grid = Grid(full_x, full_y)
    areas = np.outer(np.diff(full_x), np.diff(full_y))
    context = ModeContext(grid=full_grid, structure=request.structure,
                          wavelength=request.wavelength,
                          pml_mask=pml_mask(len(full_x) - 1, len(full_y) - 1, domain.pml_cells),
                          inner_grid=domain.grid, settings=settings)
    records = [ModeSummary(complex(sv.neffs[k]), sv.kinds[k], win.parity,
                           float(sv.wall_fraction[k]), float(sv.pml_fraction[k]), w, k)
               for w, (win, sv) in enumerate(zip(windows, solved)) for k in range(len(sv.neffs))]
    records.sort(key=lambda r: -r.neff.real)
    physical = select([r for r in records if r.kind in PHYSICAL_KINDS], request.num_modes,
                      centre.targets, request.neff_guess)
    chosen = records if request.include_all else physical[:request.num_modes]
    _report_missing(request, records, len(physical), centre.cladding)
    built = {}
    for w, (win, sv) in enumerate(zip(windows, solved)):
        ks = [r.index for r in chosen if r.window == w]
        if not ks:
            continue
        fields = unfold(sv.fields[:, ks], win.parity, areas)
        for j, k in enumerate(ks):
            built[(w, k)] = Mode(
                neff=complex(sv.neffs[k]), ex=fields[0, j], ey=fields[1, j], ez=fields[2, j],
                hx=fields[3, j], hy=fields[4, j], hz=fields[5, j], kind=sv.kinds[k],
                parity=win.parity, residual=float(sv.residuals[k]),
                wall_fraction=float(sv.wall_fraction[k]),
                pml_fraction=float(sv.pml_fraction[k]), context=context)
    chosen_modes = tuple(built[(r.window, r.index)] for r in chosen)
    hidden = tuple(r for r in records if (r.window, r.index) not in built)
    timings["classification"] = time.perf_counter() - t
    timings["total"] = time.perf_counter() - started
    # Python work: everything outside the sub-problem solves, plus the array work inside them
    # (material stretching, field unstretching, energy fractions), summed over threads.
    timings["python"] = timings["total"] - timings["solve_wall"] + \
        sum(s.python_seconds for s in solved)
    formulation = "tensorial" if problem.tensorial else "diagonal"
    log.info("solved %d x %d cells (%s, %d sub-problem%s, %s): %d physical of %d modes in "
             "%.3f s (native %.3f s)", len(full_x) - 1, len(full_y) - 1, formulation,
             len(windows), "s" if len(windows) > 1 else "", solved[0].backend, len(physical),
             len(records), timings["total"], timings["native"])
    return ModeSet(modes=chosen_modes, all_modes=chosen_modes, hidden=hidden, grid=full_grid,
                   structure=request.structure, wavelength=request.wavelength,
                   settings=settings, sampled=problem.sampled, timings=timings,
                   backend=solved[0].backend, formulation=formulation,
                   cladding_index=centre.cladding)


def _report_missing(request: Request, records: list, found: int, cladding: float) -> None:
    """Warn when modes did not converge, or fewer physical modes than asked were found,
    with the reason and the fix."""
    unconverged = [r for r in records if r.kind == "unconverged"]
    if unconverged:
        log.warning("%d mode(s) near neff %s did not converge (residual above %g) and are left "
                    "out; a finer grid or a material away from a resonance helps",
                    len(unconverged), ", ".join(f"{r.neff.real:.6g}" for r in unconverged[:3]),
                    RESIDUAL_LIMIT)
    if request.include_all or found >= request.num_modes:
        return
    others = collections.Counter(r.kind for r in records if r.kind not in PHYSICAL_KINDS)
    hidden = ", ".join(f"{n} {kind}" for kind, n in sorted(others.items())) or "none"
    warnings.warn(
        f"{found} of the {request.num_modes} modes asked were found at {request.wavelength} um "
        f"(the others found are not physical: {hidden}); the structure may guide no more "
        f"modes above the cladding index {cladding:.6g}. include_all=True returns them all, "
        "neff_guess= searches elsewhere, a wider window or finer grid may reveal more",
        stacklevel=4)
