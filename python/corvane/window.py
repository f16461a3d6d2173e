"""How far a solve's window must reach: the evanescent tail of a guided mode.

Outside the guide a mode of effective index neff decays into a region of index n as
exp(-d / L), L = 1 / (k0 sqrt(neff^2 - n^2)): the slowest decay belongs to the mode nearest
the rim index (the cladding, or a slab's effective index along a slab). The share of its
energy beyond a margin m is about exp(-2 m / L); what reaches the PML turns into a spurious
Im(neff) of up to a few hundredths of that share. A margin of `DECAY_LENGTHS` decay lengths
keeps it below the loss floor (`corvane.analysis.IMAG_FLOOR`).

A solve on the automatic grid is widened and repeated when a guided mode carries more than
`TAIL_FRACTION` of its energy into the PML (`wider_margins`); a leaky mode (below the rim
index) radiates through the rim whatever the margin and does not ask for more.
"""

from __future__ import annotations

import math

DECAY_LENGTHS = 8.5
TAIL_FRACTION = 1e-7
# The widest margin a solve asks for by itself, in vacuum wavelengths: a mode this close to
# its cut-off needs a window the caller chooses (grid=).
MAX_MARGIN_WAVELENGTHS = 6.0
# A wider window is only worth another solve when it is this much wider.
GROWTH = 1.2
# Solves repeated on a wider window at most.
MAX_WIDENINGS = 2


def decay_length(neff: float, index: float, wavelength: float) -> float:
    """The 1/e length (micrometres) of a mode's field in a region of `index`; infinite when
    the mode is not evanescent there."""
    q = neff * neff - index * index
    return wavelength / (2.0 * math.pi * math.sqrt(q)) if q > 0 else math.inf


def margin_for(neff: float, index: float, wavelength: float) -> float:
    """The margin (micrometres) a mode of effective index `neff` needs beyond the guide into
    `index`, at most `MAX_MARGIN_WAVELENGTHS` wavelengths."""
    return min(DECAY_LENGTHS * decay_length(neff, index, wavelength),
               MAX_MARGIN_WAVELENGTHS * wavelength)


def current_margins(structure, grid) -> dict:
    """The margin (micrometres) between the structure and the window on each axis with a
    finite extent: {"x": mx, "y": my}."""
    bounds = structure.bounds()
    x_edges, y_edges = grid.x_edges, grid.y_edges
    out = {}
    for axis, lo, hi, edges in (("x", bounds[0], bounds[2], x_edges),
                                ("y", bounds[1], bounds[3], y_edges)):
        if lo is not None:
            out[axis] = float(min(lo - edges[0], edges[-1] - hi))
    return out


def wider_margins(modes, rim: dict, current: dict, wavelength: float) -> dict | None:
    """The margins {"x": mx, "y": my} (micrometres) a solve should be repeated with, or None
    when its window holds the tails of its guided modes.

    `modes` are the returned modes (anything with neff, kind and pml_fraction), `rim` the rim
    index of each axis (the index the tails decay into), `current` the margins of the window
    solved, `wavelength` in micrometres."""
    wanted = dict(current)
    for m in modes:
        if m.kind != "guided" or m.pml_fraction <= TAIL_FRACTION:
            continue
        for axis, margin in current.items():
            need = margin_for(m.neff.real, rim.get(axis, 0.0), wavelength)
            wanted[axis] = max(wanted[axis], need)
    if all(wanted[a] <= GROWTH * current[a] for a in current):
        return None
    return wanted


def cut_off_message(modes, rim: dict, current: dict, wavelength: float) -> str | None:
    """The warning for a guided mode whose tail reaches the PML of the automatic window once
    it stopped growing (`MAX_MARGIN_WAVELENGTHS`, `MAX_WIDENINGS`), or None when every tail
    fits."""
    for m in modes:
        if m.kind != "guided" or m.pml_fraction <= TAIL_FRACTION:
            continue
        for axis, margin in current.items():
            length = decay_length(m.neff.real, rim.get(axis, 0.0), wavelength)
            if DECAY_LENGTHS * length > GROWTH * margin:
                return (f"corvane.solve: the mode at neff {m.neff.real:.6g} is near its "
                        f"cut-off: its tail decays over {length:.3g} um along {axis}, beyond "
                        f"the automatic window (margin {margin:.3g} um; it grows to at most "
                        f"{MAX_MARGIN_WAVELENGTHS:g} wavelengths, twice), so its "
                        f"Re(neff) and loss also depend on the window, which neff_error "
                        f"does not include; give grid=Grid.auto(..., margin=...) of about "
                        f"{DECAY_LENGTHS * length:.3g} um on {axis} to hold it")
    return None


def tight_message(current: dict, wanted: dict) -> str:
    """The warning for a caller's window too tight for the tails of its guided modes."""
    have = ", ".join(f"{a} {m:.3g}" for a, m in current.items())
    need = ", ".join(f"{a} {m:.3g}" for a, m in wanted.items())
    return (f"corvane.solve: a guided mode's tail reaches the PML, so its Im(neff) (shown "
            f"only as a loss bound) and Re(neff) depend on the window: the grid leaves "
            f"margins of {have} um, its tail asks for {need} um; build the grid with "
            f"Grid.auto(..., margin=...) or leave grid= out")
