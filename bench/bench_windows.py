"""Windows from the physics: spurious loss of lossless guides and the loss of bends.

Part 1, lossless guides whose tails are long (Im(neff) must not exceed the loss floor, 1e-9):
each solved on the fixed margin of 0.7 wavelengths (the grid passed in) and as `solve`
chooses (the window widened to the tail's decay length).

Part 2, bends of the 0.5 x 0.22 um strip (n 3.48 in 1.444) from one call, then with the
window 0.5 and 1 um wider past the caustic and the outer PML 1.5 and 2 times thicker: the
loss per 90 degrees and its largest relative change (target 3 %).

    PYTHONPATH=python python bench/bench_windows.py
"""

from __future__ import annotations

import warnings

import corvane
from corvane.bend import bend_loss_db_per_90deg
from corvane.geometry import rib, slot, strip
from corvane.grid import Grid
from corvane.materials import silica, silicon

WAVELENGTH = 1.55


def guides():
    yield ("rib TE1 (example PML)", rib(width=0.6, height=0.22, slab_height=0.09,
                                       core=silicon, cladding=silica),
           dict(step=0.02, pml=corvane.PML(left=0.6, right=0.6, bottom=0.5, top=0.5)), 1)
    yield "strip TM0 (README demo)", strip(core=silicon, cladding=silica), \
        dict(step=0.02, pml=0.5), 1
    yield "slot TM in air", slot(cladding=1.0), dict(step=0.02), 1


def part_one() -> None:
    print(f"{'guide':<26} {'window':<8} {'cells':>9} {'Re(neff)':>10} {'Im(neff)':>11} "
          f"{'loss dB/cm':>11}")
    for name, structure, options, k in guides():
        fixed = Grid.auto(structure, WAVELENGTH, step=options["step"], margin=0.7 * WAVELENGTH)
        fixed_options = {key: v for key, v in options.items() if key != "step"}
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            runs = (("0.7 lambda", corvane.solve(structure, WAVELENGTH, num_modes=2, grid=fixed,
                                                 **fixed_options)),
                    ("auto", corvane.solve(structure, WAVELENGTH, num_modes=2, **options)))
        for label, modes in runs:
            m = modes[k]
            loss = (f"< {m.loss_floor_db_per_cm:.2g}" if m.loss_is_upper_bound
                    else f"{m.loss_db_per_cm:.3g}")
            raw = corvane.analysis.loss_db_per_cm(m.neff, WAVELENGTH)
            print(f"{name:<26} {label:<8} {'%dx%d' % modes.grid.shape:>9} "
                  f"{m.neff.real:>10.6f} {m.neff.imag:>11.3e} {loss:>11}  (raw {raw:.3g})")


def part_two() -> None:
    guide = strip(core=3.48, cladding=1.444)
    print(f"\n{'R (um)':>6} {'window':<22} {'cells':>9} {'neff':>24} {'dB/90deg':>11}")
    for radius in (1.5, 2.0, 3.0):
        fitted = corvane.solve(guide, WAVELENGTH, bend_radius=radius)
        x0, x1 = fitted.settings["grid"].x_edges[[0, -1]]
        pml = fitted.settings["pml"]
        losses = []
        for extra, scale in ((0.0, 1.0), (0.5, 1.5), (1.0, 2.0)):
            if extra == 0.0:
                modes = fitted
            else:
                grid = Grid.auto(guide, WAVELENGTH, x=(x0, x1 + extra))
                wider = corvane.PML(left=pml.left, right=scale * pml.right,
                                    bottom=scale * pml.bottom, top=scale * pml.top)
                modes = corvane.solve(guide, WAVELENGTH, bend_radius=radius, grid=grid,
                                      pml=wider)
            loss = float(bend_loss_db_per_90deg(modes[0].neff, WAVELENGTH, radius))
            losses.append(loss)
            label = f"+{extra} um, PML x{scale}"
            print(f"{radius:>6} {label:<22} {'%dx%d' % modes.grid.shape:>9} "
                  f"{modes[0].neff:>24.9f} {loss:>11.4g}")
        spread = (max(losses) - min(losses)) / min(losses)
        print(f"{radius:>6} largest change {100 * spread:.2f} % (target 3 %)")


if __name__ == "__main__":
    part_one()
    part_two()
