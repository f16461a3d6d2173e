"""One-file storage of modes: `Mode.save(path)`, `ModeSet.save(path)`, `corvane.load(path)`.

`save` writes a mode or a mode set, `read` returns what a file holds as plain data; the mode
records are rebuilt from it by `corvane.modes.load`, so this module does not import them.

The file is a numpy .npz archive: the complex field arrays (modes, nx, ny) per component, the
effective indices, and one JSON text with the grid edges, the structure description
(`Structure.to_dict`), the wavelength in micrometres, the solve settings and each mode's
kind, parity and diagnostics. Nothing in it is pickled, so loading runs no code.
"""

from __future__ import annotations

import json
import logging
import os

import numpy as np

from corvane.grid import Grid
from corvane.pml import PML

FORMAT = "corvane-modes"
VERSION = 1
COMPONENTS = ("ex", "ey", "ez", "hx", "hy", "hz")

log = logging.getLogger("corvane")


def _settings_to_json(settings: dict) -> dict:
    out = {}
    for key, value in settings.items():
        if hasattr(value, "to_dict"):
            out[key] = {"__type__": type(value).__name__, **value.to_dict()}
        else:
            try:
                json.dumps(value)
            except TypeError:  # e.g. an initial vector or a workspace: not needed to solve again
                log.debug("setting %s not saved", key)
                continue
            out[key] = value
    return out


def settings_from_json(d: dict) -> dict:
    """Solve settings from their JSON form (`PML` and `Grid` values rebuilt)."""
    types = {"PML": PML, "Grid": Grid}
    out = {}
    for key, value in d.items():
        if isinstance(value, dict) and value.get("__type__") in types:
            value = dict(value)
            out[key] = types[value.pop("__type__")].from_dict(value)
        else:
            out[key] = value
    return out


def save(modes, path) -> None:
    """Write a `Mode` or a `ModeSet` to `path` (a .npz file; the suffix is added if absent)."""
    if hasattr(modes, "all_modes"):  # a ModeSet
        single, mode_list, owner = False, list(modes), modes
    elif hasattr(modes, "context") and hasattr(modes, "neff"):  # a Mode
        single, mode_list, owner = True, [modes], None
    else:
        raise TypeError(f"save() takes a Mode or a ModeSet, got {type(modes).__name__}")
    if not mode_list:
        raise ValueError("save(): the ModeSet holds no modes; nothing to write")
    ctx = mode_list[0].context
    grid = ctx.grid
    try:
        structure = ctx.structure.to_dict()
    except Exception as err:  # a material that cannot be described (e.g. a bare callable)
        log.warning("structure not saved: %s", err)
        structure = None
    meta = {
        "format": FORMAT, "version": VERSION, "single": single,
        "wavelength": ctx.wavelength,
        "grid": {"x_edges": np.asarray(grid.x_edges).tolist(),
                 "y_edges": np.asarray(grid.y_edges).tolist()},
        "inner_grid": None if ctx.inner_grid is None else {
            "x_edges": np.asarray(ctx.inner_grid.x_edges).tolist(),
            "y_edges": np.asarray(ctx.inner_grid.y_edges).tolist()},
        "structure": structure,
        "settings": _settings_to_json(ctx.settings),
        "set": None if owner is None else {
            "backend": owner.backend, "formulation": owner.formulation,
            "cladding_index": owner.cladding_index, "timings": owner.timings},
        "modes": [{"kind": m.kind, "parity": [list(p) for p in m.parity],
                   "residual": m.residual, "wall_fraction": m.wall_fraction,
                   "pml_fraction": m.pml_fraction, "label": m.label} for m in mode_list],
    }
    arrays = {c: np.stack([getattr(m, c) for m in mode_list]) for c in COMPONENTS}
    arrays["neff"] = np.array([m.neff for m in mode_list], complex)
    arrays["pml_mask"] = np.asarray(ctx.pml_mask)
    np.savez_compressed(os.fspath(path), meta=np.array(json.dumps(meta)), **arrays)


def read(path) -> tuple[dict, dict]:
    """The description (JSON) and the arrays (components, "neff", "pml_mask") of a file
    written by `save`."""
    with np.load(os.fspath(path), allow_pickle=False) as data:
        meta = json.loads(str(data["meta"]))
        if meta.get("format") != FORMAT:
            raise ValueError(f"{path} is not a corvane modes file")
        if meta.get("version", 0) > VERSION:
            raise ValueError(f"{path} was written by a newer corvane (format version "
                             f"{meta['version']}); upgrade corvane to read it")
        arrays = {k: data[k] for k in (*COMPONENTS, "neff", "pml_mask")}
    return meta, arrays
