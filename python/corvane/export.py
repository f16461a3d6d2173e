"""Field export for other tools: `ModeSet.export(path)` writes HDF5 (.h5, .hdf5) or MATLAB
(.mat) by the suffix. (`ModeSet.save` / `corvane.load` is corvane's own round trip.)

HDF5 layout (h5py): root attributes `wavelength_um`, `length_unit` ("um"), `convention`,
`e_unit`, `h_unit`; datasets `x_edges`, `y_edges` (cell edges, um) and `neff` (complex); one
group per mode, "mode0", "mode1", ... (highest Re(neff) first) with attributes `label`, `neff`,
`kind`, `polarization`, `symmetry`, `te_fraction`, `loss_db_per_cm`, and one complex
dataset (nx, ny) per component "ex" ... "hz" whose attributes `x_um`, `y_um` give the
coordinates of its staggered samples and `unit` its unit.

MATLAB layout (scipy.io.savemat, MATLAB 5 format): `wavelength_um`, `x_edges_um`,
`y_edges_um`, `neff` (complex column), `labels` (cell array), `e_unit`, `h_unit`, and per
component an array (modes, nx, ny) such as `ey` with its sample coordinates `ey_x_um`,
`ey_y_um`.
"""

from __future__ import annotations

from pathlib import Path

import numpy as np
import scipy.io

from corvane.analysis import COMPONENTS, sample_coordinates

__all__ = ["export", "UNITS"]

# Power-normalised fields: |integral of (E x H*).z dA| = 1 W with dA in um^2.
UNITS = {"e": "V/um (unit power: |integral of (E x H*).z dA| = 1 W)",
         "h": "A/um (unit power: |integral of (E x H*).z dA| = 1 W)"}
CONVENTION = "fields ~ exp(i (k0 neff z - omega t)); Im(neff) > 0 is loss"
SUFFIXES = {".h5": "hdf5", ".hdf5": "hdf5", ".mat": "mat"}


def export(modes, path) -> Path:
    """Write the modes of a `ModeSet` (or a sequence of `Mode`s of one grid) to `path`:
    HDF5 for .h5/.hdf5, MATLAB for .mat. Returns the path written.

    Example: ``modes.export("strip.h5")``; in MATLAB
    ``load("strip.mat"); imagesc(abs(squeeze(ey(1,:,:)))')``.
    """
    path = Path(path)
    kind = SUFFIXES.get(path.suffix.lower())
    if kind is None:
        raise ValueError(f"export path must end in one of {sorted(SUFFIXES)} (the format is "
                         f"chosen by the suffix); got {str(path)!r}")
    modes = list(modes)
    if not modes:
        raise ValueError("export(): no modes to write")
    grid = modes[0].grid
    if any(m.grid is not grid and m.grid != grid for m in modes):
        raise ValueError("export(): the modes live on different grids; export them one by one")
    (_hdf5 if kind == "hdf5" else _mat)(modes, path)
    return path


def _coordinates(grid, component: str):
    return sample_coordinates(np.asarray(grid.x_edges), np.asarray(grid.y_edges), component)


def _hdf5(modes, path: Path) -> None:
    try:
        import h5py
    except ImportError:
        raise ImportError("HDF5 export needs h5py (pip install h5py); or export to a .mat "
                          "file") from None
    grid = modes[0].grid
    with h5py.File(path, "w") as f:
        f.attrs.update(wavelength_um=modes[0].wavelength, length_unit="um",
                       e_unit=UNITS["e"], h_unit=UNITS["h"], convention=CONVENTION)
        f.create_dataset("x_edges", data=np.asarray(grid.x_edges)).attrs["unit"] = "um"
        f.create_dataset("y_edges", data=np.asarray(grid.y_edges)).attrs["unit"] = "um"
        f.create_dataset("neff", data=np.array([m.neff for m in modes], complex))
        for k, m in enumerate(modes):
            group = f.create_group(f"mode{k}")
            group.attrs.update(label=m.label, neff=m.neff, kind=m.kind,
                               polarization=m.polarization, symmetry=m.symmetry,
                               te_fraction=m.te_fraction, loss_db_per_cm=m.loss_db_per_cm)
            for c in COMPONENTS:
                x, y = _coordinates(grid, c)
                data = group.create_dataset(c, data=np.asarray(getattr(m, c)),
                                            compression="gzip")
                data.attrs.update(x_um=x, y_um=y, unit=UNITS[c[0]])


def _mat(modes, path: Path) -> None:
    grid = modes[0].grid
    out = {
        "wavelength_um": modes[0].wavelength,
        "x_edges_um": np.asarray(grid.x_edges), "y_edges_um": np.asarray(grid.y_edges),
        "neff": np.array([[m.neff] for m in modes], complex),
        "labels": np.array([m.label for m in modes], dtype=object),
        "e_unit": UNITS["e"], "h_unit": UNITS["h"], "convention": CONVENTION,
    }
    for c in COMPONENTS:
        out[c] = np.stack([np.asarray(getattr(m, c)) for m in modes])
        out[f"{c}_x_um"], out[f"{c}_y_um"] = _coordinates(grid, c)
    scipy.io.savemat(path, out, do_compression=True)
