"""A hollow rectangular metal waveguide (WR-90, 22.86 x 10.16 mm) at 10 GHz.

The window is the inside of the guide and its walls are the window's electric walls
(pml=0). Lengths are in micrometres here too. The TE10 effective index is compared with
the analytic sqrt(1 - (lambda / 2a)^2).

    python examples/metal_waveguide.py
"""

from __future__ import annotations

import math
import os

import corvane
from corvane.geometry import Rectangle, Structure
from corvane.grid import Grid

FAST = os.environ.get("CORVANE_EXAMPLES_FAST") == "1"
A, B = 22860.0, 10160.0  # um
WAVELENGTH = 299792458.0 / 10e9 * 1e6  # um at 10 GHz


def main() -> None:
    structure = Structure([Rectangle(center=(A / 2, B / 2), size=(A, B), material=1.0)],
                          background=1.0)
    grid = Grid.uniform(x=(0, A), y=(0, B), step=(A / 24 if FAST else A / 64))
    modes = corvane.solve(structure, WAVELENGTH, grid=grid, pml=0, num_modes=2)
    exact = math.sqrt(1 - (WAVELENGTH / (2 * A)) ** 2)
    print(modes.table())
    print(f"TE10: neff = {modes[0].neff.real:.6f}, analytic {exact:.6f}, "
          f"error {abs(modes[0].neff.real - exact):.1e}")


if __name__ == "__main__":
    main()
