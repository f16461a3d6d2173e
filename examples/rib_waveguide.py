"""A silicon rib waveguide: 0.6 um wide ridge, 0.22 um high on a 0.09 um slab, in silica.

The slab carries light sideways, so the rib is open to the sides: a PML on the left and
right lets slab-leaking modes show their loss. Prints the physical modes with loss and the
share of power inside the ridge.

    python examples/rib_waveguide.py
"""

from __future__ import annotations

import os

import corvane
from corvane.geometry import Rectangle, rib
from corvane.materials import silica, silicon

FAST = os.environ.get("CORVANE_EXAMPLES_FAST") == "1"


def main() -> None:
    structure = rib(width=0.6, height=0.22, slab_height=0.09, core=silicon, cladding=silica)
    modes = corvane.solve(structure, wavelength=1.55, num_modes=2,
                          step=0.05 if FAST else 0.02,
                          pml=corvane.PML(left=0.6, right=0.6, bottom=0.5, top=0.5))
    ridge = Rectangle(center=(0.0, 0.155), size=(0.6, 0.13), material=silicon)
    print(modes.table())
    for k, m in enumerate(modes):
        print(f"mode {k}: {m.confinement(ridge):.3f} of the power in the ridge above the slab, "
              f"effective area {m.effective_area:.3f} um^2")


if __name__ == "__main__":
    main()
