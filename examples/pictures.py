"""The pictures of the README and docs: a silicon strip's TE0 field, its Ez, its index profile
with the PML, a width sweep with the modes tracked by name, and a metal guide's TE10.

    python examples/pictures.py --out docs/img

Set CORVANE_EXAMPLES_FAST=1 for coarse grids (the test suite does).
"""

from __future__ import annotations

import argparse
import os
from pathlib import Path

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402

import corvane  # noqa: E402
from corvane.geometry import Rectangle, Structure, strip  # noqa: E402
from corvane.grid import Grid  # noqa: E402
from corvane.materials import silica, silicon  # noqa: E402

FAST = os.environ.get("CORVANE_EXAMPLES_FAST") == "1"


def save(ax, path: Path) -> None:
    ax.figure.set_size_inches(5.0, 3.6)
    ax.figure.savefig(path, dpi=80, bbox_inches="tight")
    plt.close(ax.figure)
    print(f"wrote {path}")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--out", type=Path, default=Path("."), help="folder for the PNGs")
    args = parser.parse_args()
    args.out.mkdir(parents=True, exist_ok=True)

    structure = strip(width=0.5, height=0.22, core=silicon, cladding=silica)
    modes = corvane.solve(structure, 1.55, num_modes=2, step=0.05 if FAST else 0.02, pml=0.5)
    print(modes.table())
    save(modes[0].plot(), args.out / "strip_te0.png")
    save(modes[0].plot("ez", part="imag"), args.out / "strip_te0_ez.png")
    save(modes.plot_index(grid_lines=True), args.out / "strip_index.png")

    widths = np.linspace(0.4, 0.9, 6 if FAST else 11)
    sweep = corvane.sweep(lambda w: strip(width=w, height=0.22, core=silicon, cladding=silica),
                          widths, wavelength=1.55, num_modes=3, step=0.06 if FAST else 0.03)
    save(sweep.plot(label="core width (µm)"), args.out / "width_sweep.png")

    a, b = 22860.0, 10160.0  # WR-90, um
    box = Structure([Rectangle(center=(a / 2, b / 2), size=(a, b), material=1.0)], background=1.0)
    metal = corvane.solve(box, 299792458.0 / 10e9 * 1e6, pml=0, num_modes=1,
                          grid=Grid.uniform(x=(0, a), y=(0, b), step=a / (24 if FAST else 64)))
    save(metal[0].plot("ey"), args.out / "metal_te10.png")


if __name__ == "__main__":
    main()
