"""The result of one solve as arrays: the modes chosen, unfolded to the full window.

In: the request, its domain and problem, the sub-problem windows with the `WindowModes` found
in each, and where the search centred. Out: a `Solution`: the chosen modes (effective index,
the six power-normalised field components on the full window, kind, parity, diagnostics),
a `ModeSummary` of every mode found but not returned, and the grid the fields live on.
`corvane.solve` turns it into a `ModeSet`.
"""

from __future__ import annotations

import logging
import warnings
from dataclasses import dataclass, field

import numpy as np

from corvane.classify import PHYSICAL_KINDS, RESIDUAL_LIMIT, ModeSummary, select
from corvane.grid import Grid
from corvane.inputs import Request
from corvane.pml import pml_mask
from corvane.problem import Domain, Problem
from corvane.sampling import SampledMaterials
from corvane.search import Centre
from corvane.subproblems import Window, WindowModes
from corvane.symmetry import mirrored_edges, unfold
from corvane.weights import component_weights

log = logging.getLogger("corvane")


@dataclass(frozen=True)
class FoundMode:
    """One chosen mode on the full window."""

    neff: complex
    fields: np.ndarray  # (6, nx, ny): ex, ey, ez, hx, hy, hz, power-normalised
    kind: str
    parity: tuple
    residual: float
    wall_fraction: float
    pml_fraction: float


@dataclass(frozen=True)
class Solution:
    """What one solve found, the chosen modes highest Re(neff) first."""

    modes: tuple  # FoundMode
    all_modes: tuple  # every FoundMode kept: the chosen ones and the physical ones below the cut
    hidden: tuple  # ModeSummary of each mode found but not kept
    physical_count: int  # physical modes found, chosen or not
    grid: Grid  # the full window, PML included: the grid of the fields
    inner_grid: Grid  # the window without PML (the grid asked for, or the automatic one)
    pml_mask: np.ndarray  # (nx, ny) PML cells of `grid`
    sampled: SampledMaterials  # materials of the solved (half) window
    formulation: str  # "diagonal" or "tensorial"
    backend: str
    cladding_index: float  # the rim index: guided modes lie above it
    rim: dict = field(default_factory=dict)  # the rim index of each axis, {"x": .., "y": ..}
    operator_applications: int = 0  # of the sub-problems' eigen searches
    timings: dict = field(default_factory=dict)  # seconds per stage


def choose(request: Request, domain: Domain, problem: Problem, windows: list[Window],
           solved: list[WindowModes], centre: Centre) -> Solution:
    """The modes to return, chosen among light records first so that only the kept ones are
    unfolded."""
    xs, ys, planes = domain.xs, domain.ys, domain.planes
    full_x = mirrored_edges(xs) if "x" in planes else xs
    full_y = mirrored_edges(ys) if "y" in planes else ys
    full_grid = Grid(full_x, full_y)
    weights = (component_weights(full_grid, "ex"), component_weights(full_grid, "ey"))
    records = [ModeSummary(complex(sv.neffs[k]), sv.kinds[k], win.parity,
                           float(sv.wall_fraction[k]), float(sv.pml_fraction[k]), w, k)
               for w, (win, sv) in enumerate(zip(windows, solved)) for k in range(len(sv.neffs))]
    records.sort(key=lambda r: -r.neff.real)
    physical = select([r for r in records if r.kind in PHYSICAL_KINDS], request.num_modes,
                      centre.targets, request.neff_guess)
    chosen = records if request.include_all else physical[:request.num_modes]
    unconverged = [r for r in records if r.kind == "unconverged"]
    if unconverged:
        log.warning("%d mode(s) near neff %s did not converge (residual above %g) and are left "
                    "out; a finer grid or a material away from a resonance helps",
                    len(unconverged), ", ".join(f"{r.neff.real:.6g}" for r in unconverged[:3]),
                    RESIDUAL_LIMIT)
    # Every physical mode found is kept (`ModeSet.all_modes`): a sweep tracks a mode that
    # falls below the cut among them.
    kept = records if request.include_all else physical
    built = {}
    for w, (win, sv) in enumerate(zip(windows, solved)):
        ks = [r.index for r in kept if r.window == w]
        if not ks:
            continue
        fields = unfold(sv.fields[:, ks], win.parity, weights)
        for j, k in enumerate(ks):
            built[(w, k)] = FoundMode(
                complex(sv.neffs[k]), fields[:, j], sv.kinds[k], win.parity,
                float(sv.residuals[k]), float(sv.wall_fraction[k]), float(sv.pml_fraction[k]))
    return Solution(
        modes=tuple(built[(r.window, r.index)] for r in chosen),
        all_modes=tuple(built[(r.window, r.index)] for r in records
                        if (r.window, r.index) in built),
        hidden=tuple(r for r in records if (r.window, r.index) not in built),
        physical_count=len(physical), grid=full_grid, inner_grid=domain.grid,
        pml_mask=pml_mask(len(full_x) - 1, len(full_y) - 1, domain.pml_cells),
        sampled=problem.sampled, formulation="tensorial" if problem.tensorial else "diagonal",
        backend=solved[0].backend, cladding_index=centre.cladding, rim=centre.rim,
        operator_applications=sum(s.applications for s in solved))


def warn_if_short(solution: Solution, request: Request) -> None:
    """A `UserWarning` naming the reason and the fixes when a solve returns fewer physical
    modes than asked for."""
    if request.include_all or len(solution.modes) >= request.num_modes:
        return
    found = "no physical mode" if not solution.modes else \
        f"only {len(solution.modes)} of {request.num_modes} physical modes"
    warnings.warn(
        f"corvane.solve found {found} (guided or leaky; {len(solution.hidden)} PML, wall, box "
        f"or unconverged modes hidden, rim index {solution.cladding_index:.4g}): the guide may support fewer "
        f"modes at {request.wavelength} um, or the search missed them. Give neff_guess near "
        f"the effective index you expect, enlarge the window (grid=, or pml) so a weakly "
        f"guided mode fits, or ask for fewer modes (num_modes); include_all=True shows what "
        f"was found.", UserWarning, stacklevel=3)
