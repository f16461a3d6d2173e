"""Classification and selection of the modes a solve found.

In: effective indices, residuals and each mode's share of electric energy on electric-wall
samples and in the PML cells. Out: a kind per mode ("guided", "leaky", "box", "unconverged",
"wall" or "pml"; rules in docs/user_guide.md) and, among the physical ones, those a solve
returns.
"""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np

# A mode is "physical" when it is one of these kinds; the others are artefacts of the window.
PHYSICAL_KINDS = ("guided", "leaky")
# Fractions of a mode's electric energy above which it counts as wall-bound or PML-absorbed.
WALL_FRACTION = 0.5
PML_FRACTION = 0.3
# A guided mode has at most this share of its energy in the PML (an evanescent tail).
GUIDED_PML_FRACTION = 0.05
# Im(neff) beyond the largest material loss index plus this is a PML mode whatever its energy.
PML_IMAG_MARGIN = 0.1
# Gain beyond this (Im(neff) < -PML_GAIN) in a structure without gain is the PML's doing.
PML_GAIN = 1e-4
# A mode whose relative residual ||A x - neff x|| exceeds this did not converge (the eigen
# solve asks 1e-10): its index and fields cannot be trusted, so it is never returned as
# physical.
RESIDUAL_LIMIT = 1e-6


def energy_fractions(fields: np.ndarray, areas: np.ndarray, pml_mask: np.ndarray,
                     pmc_x: bool, pmc_y: bool) -> tuple[np.ndarray, np.ndarray]:
    """Share of each mode's |E|^2 (area-weighted) on the electric low-wall samples and in the
    PML cells. `fields` is (6, M, nx, ny)."""
    e2 = np.abs(fields[0]) ** 2, np.abs(fields[1]) ** 2, np.abs(fields[2]) ** 2
    weighted = [e * areas for e in e2]
    total = sum(w.sum(axis=(1, 2)) for w in weighted)
    total = np.where(total > 0, total, 1.0)
    wall = np.zeros(fields.shape[1])
    if not pmc_x:  # Ey, Ez on the low x wall
        wall += weighted[1][:, 0, :].sum(axis=1) + weighted[2][:, 0, :].sum(axis=1)
    if not pmc_y:  # Ex, Ez on the low y wall
        wall += weighted[0][:, :, 0].sum(axis=1) + weighted[2][:, :, 0].sum(axis=1)
        if not pmc_x:
            wall -= weighted[2][:, 0, 0]
    pml = sum((w * pml_mask).sum(axis=(1, 2)) for w in weighted)
    return wall / total, pml / total


def classify(neffs: np.ndarray, wall_fraction: np.ndarray, pml_fraction: np.ndarray,
             residuals: np.ndarray, *, cladding_index: float, loss_index: float,
             open_window: bool, index_guided: bool, passive: bool = True) -> list[str]:
    """Kind of each mode: "wall", "pml", "unconverged", "guided", "leaky" or "box" (rules in
    docs/user_guide.md). `index_guided`: some material inside the window has an index above
    `cladding_index`; in a window closed by walls (no PML) the modes below that index are
    then modes of the metal box around the guide ("box"), not of the guide. A box filled by
    its cladding (a metal guide) has no index above it, and all its modes are guided."""
    kinds = []
    for neff, wall, pml, residual in zip(neffs, wall_fraction, pml_fraction, residuals):
        if wall > WALL_FRACTION:
            kinds.append("wall")
        elif pml > PML_FRACTION or abs(neff.imag) > loss_index + PML_IMAG_MARGIN \
                or (passive and neff.imag < -PML_GAIN) or not np.isfinite(neff):
            kinds.append("pml")
        elif not residual <= RESIDUAL_LIMIT:
            kinds.append("unconverged")
        elif not open_window:
            kinds.append("box" if index_guided and neff.real <= cladding_index else "guided")
        elif neff.real > cladding_index and pml < GUIDED_PML_FRACTION:
            kinds.append("guided")
        else:
            kinds.append("leaky")
    return kinds


@dataclass(frozen=True)
class ModeSummary:
    """A mode the solver found but did not return (see `ModeSet.hidden`): its index, kind,
    mirror walls and energy fractions; `window` and `index` locate it in the solve."""

    neff: complex
    kind: str
    parity: tuple
    wall_fraction: float
    pml_fraction: float
    window: int = 0
    index: int = 0


def select(physical: list, num_modes: int, targets, neff_guess) -> list:
    """The physical modes to return, highest Re(neff) first: nearest each target index of a
    search over a substrate, nearest the guess, or simply the first ones."""
    if targets:
        picked = []
        for target in sorted(targets, reverse=True)[:num_modes]:
            rest = [r for r in physical if r not in picked]
            if rest:
                picked.append(min(rest, key=lambda r: abs(r.neff - target)))
        return [r for r in physical if r in picked]
    if neff_guess is not None:
        nearest = sorted(physical, key=lambda r: abs(r.neff - neff_guess))[:num_modes]
        return sorted(nearest, key=lambda r: -r.neff.real)
    return physical
