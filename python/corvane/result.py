"""The result of one solve as arrays: the modes chosen, unfolded to the full window.

In: the request, its domain and problem, the sub-problem windows with the `WindowModes` found
in each, and where the search centred. Out: a `Solution`: the chosen modes (effective index,
the six power-normalised field components on the full window, kind, parity, diagnostics),
a `ModeSummary` of every mode found but not returned, and the grid the fields live on.
`corvane.solve` turns it into a `ModeSet`.
"""

from __future__ import annotations

import collections
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
    timings: dict = field(default_factory=dict)  # seconds per stage


def choose(request: Request, domain: Domain, problem: Problem, windows: list[Window],
           solved: list[WindowModes], centre: Centre) -> Solution:
    """The modes to return, chosen among light records first so that only the kept ones are
    unfolded."""
    xs, ys, planes = domain.xs, domain.ys, domain.planes
    full_x = mirrored_edges(xs) if "x" in planes else xs
    full_y = mirrored_edges(ys) if "y" in planes else ys
    areas = np.outer(np.diff(full_x), np.diff(full_y))
    records = [ModeSummary(complex(sv.neffs[k]), sv.kinds[k], win.parity,
                           float(sv.wall_fraction[k]), float(sv.pml_fraction[k]), w, k)
               for w, (win, sv) in enumerate(zip(windows, solved)) for k in range(len(sv.neffs))]
    records.sort(key=lambda r: -r.neff.real)
    physical = select([r for r in records if r.kind in PHYSICAL_KINDS], request.num_modes,
                      centre.targets, request.neff_guess)
    chosen = records if request.include_all else physical[:request.num_modes]
    _report_missing(request, records, len(physical), centre.cladding)
    # Every physical mode found is kept (`ModeSet.all_modes`): a sweep tracks a mode that
    # falls below the cut among them.
    kept = records if request.include_all else physical
    built = {}
    for w, (win, sv) in enumerate(zip(windows, solved)):
        ks = [r.index for r in kept if r.window == w]
        if not ks:
            continue
        fields = unfold(sv.fields[:, ks], win.parity, areas)
        for j, k in enumerate(ks):
            built[(w, k)] = FoundMode(
                complex(sv.neffs[k]), fields[:, j], sv.kinds[k], win.parity,
                float(sv.residuals[k]), float(sv.wall_fraction[k]), float(sv.pml_fraction[k]))
    return Solution(
        modes=tuple(built[(r.window, r.index)] for r in chosen),
        all_modes=tuple(built[(r.window, r.index)] for r in records
                        if (r.window, r.index) in built),
        hidden=tuple(r for r in records if (r.window, r.index) not in built),
        physical_count=len(physical), grid=Grid(full_x, full_y), inner_grid=domain.grid,
        pml_mask=pml_mask(len(full_x) - 1, len(full_y) - 1, domain.pml_cells),
        sampled=problem.sampled, formulation="tensorial" if problem.tensorial else "diagonal",
        backend=solved[0].backend, cladding_index=centre.cladding)


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
        stacklevel=5)
