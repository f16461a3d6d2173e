"""An anisotropic lithium niobate ridge whose crystal axis is turned in the cross-section.

The extraordinary axis (z-cut crystal turned by 30 degrees about the propagation axis) gives
the permittivity off-diagonal xy terms, so the full-tensor solver is chosen automatically.
Prints the modes with their TE fraction: a tilted axis mixes the polarisations.

    python examples/lithium_niobate_ridge.py
"""

from __future__ import annotations

import os

import corvane
from corvane.geometry import Rectangle, Structure
from corvane.materials import lithium_niobate, silica

FAST = os.environ.get("CORVANE_EXAMPLES_FAST") == "1"


def main() -> None:
    crystal = lithium_niobate(optic_axis="x").rotated(30, axis="z")
    structure = Structure([Rectangle(center=(0, 0.3), size=(1.2, 0.6), material=crystal)],
                          background=silica)
    modes = corvane.solve(structure, wavelength=1.55, num_modes=2,
                          step=0.08 if FAST else 0.04, pml=0.5)
    print(f"solver: {modes.formulation}")
    print(modes.table())


if __name__ == "__main__":
    main()
