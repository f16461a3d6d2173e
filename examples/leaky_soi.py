"""A leaky silicon-on-insulator wire: light tunnels through a thin buried oxide into the
silicon substrate. The PML under the substrate absorbs it; Im(neff) > 0 is the loss.

The loss converges as the PML thickens: the table shows Im(neff) and dB/cm for three
thicknesses.

    python examples/leaky_soi.py
"""

from __future__ import annotations

import math
import os

import corvane
from corvane.geometry import Layer, Rectangle, Structure
from corvane.grid import Grid
from corvane.materials import silica, silicon

FAST = os.environ.get("CORVANE_EXAMPLES_FAST") == "1"
BOX = 0.4  # buried oxide thickness, um


def main() -> None:
    structure = Structure([Layer(y=(-math.inf, -BOX), material=silicon),
                           Rectangle(center=(0, 0.11), size=(0.5, 0.22), material=silicon)],
                          background=silica)
    step = 0.05 if FAST else 0.025
    print(f"{'PML (um)':>8}  {'Re(neff)':>10}  {'Im(neff)':>10}  {'loss dB/cm':>10}  kind")
    for depth in ((0.4, 0.8) if FAST else (0.5, 1.0, 2.0)):
        grid = Grid.auto(structure, 1.55, step=step, margin=(0.7, 0.5), mirror_x=0.0,
                         y=(-BOX - 0.3, 0.8))
        mode = corvane.solve(structure, 1.55, grid=grid, num_modes=1,
                             pml=corvane.PML(left=0.5, right=0.5, bottom=depth))[0]
        print(f"{depth:>8.2f}  {mode.neff.real:>10.6f}  {mode.neff.imag:>10.3e}  "
              f"{mode.loss_db_per_cm:>10.2f}  {mode.kind}")


if __name__ == "__main__":
    main()
