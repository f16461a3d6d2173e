"""A leaky silicon-on-insulator wire: light tunnels through a thin buried oxide into the
silicon substrate. The PML under the substrate absorbs it; Im(neff) > 0 is the loss.

The loss converges as the window and the PML grow together: the table shows Im(neff) and
dB/cm as the substrate inside the window, the PML and the side margin are enlarged.

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
# (substrate inside the window, PML thickness, side margin), micrometres
SERIES = ((0.3, 0.5, 0.7), (0.6, 1.0, 1.0)) if FAST else \
    ((0.3, 0.5, 0.7), (0.6, 1.0, 1.0), (1.2, 2.0, 1.4))


def main() -> None:
    structure = Structure([Layer(y=(-math.inf, -BOX), material=silicon),
                           Rectangle(center=(0, 0.11), size=(0.5, 0.22), material=silicon)],
                          background=silica)
    step = 0.05 if FAST else 0.025
    print(f"{'substrate':>9}  {'PML':>5}  {'margin':>6}  {'Re(neff)':>10}  {'Im(neff)':>10}  "
          f"{'loss dB/cm':>10}  kind   (um)")
    for substrate, pml, margin in SERIES:
        grid = Grid.auto(structure, 1.55, step=step, margin=(margin, 0.5), mirror_x=0.0,
                         y=(-BOX - substrate, 0.8))
        mode = corvane.solve(structure, 1.55, grid=grid, num_modes=1,
                             pml=corvane.PML(left=pml, right=pml, bottom=pml))[0]
        print(f"{substrate:>9.2f}  {pml:>5.2f}  {margin:>6.2f}  {mode.neff.real:>10.6f}  "
              f"{mode.neff.imag:>10.4e}  {mode.loss_db_per_cm:>10.2f}  {mode.kind}")


if __name__ == "__main__":
    main()
