"""One-file storage of modes: `Mode.save(path)`, `ModeSet.save(path)`, `corvane.load(path)`.

`save` writes a mode or a mode set, `read` returns what a file holds as plain data; the mode
records are rebuilt from it by `corvane.modes.load`, so this module does not import them.

The file is a numpy .npz archive: the complex field arrays (modes, nx, ny) per component, the
effective indices, and one JSON text with the grid edges, the structure description
(`Structure.to_dict`), the wavelength in micrometres, the solve settings and each mode's
kind, parity and diagnostics. Nothing in it is pickled, so loading runs no code.

Saving writes a temporary file in the destination folder and renames it over the target, so
a failed write never leaves a truncated file nor destroys the previous one. Reading checks
the archive before decompressing anything (the sizes its members declare, against the bytes
on disk and the memory of the machine) and then every array and entry against the others;
any fault of the file is a `FileFormatError` naming the file and what is wrong.
"""

from __future__ import annotations

import contextlib
import json
import logging
import math
import os
import tempfile
import zipfile
from pathlib import Path

import numpy as np

from corvane.grid import Grid
from corvane.pml import PML

FORMAT = "corvane-modes"
VERSION = 1
COMPONENTS = ("ex", "ey", "ez", "hx", "hy", "hz")

log = logging.getLogger("corvane")

# A member expanding beyond this many times its compressed size, and beyond MIN_CHECKED
# bytes, is refused as a decompression bomb: complex field samples compress by far less.
MAX_EXPANSION = 50
MIN_CHECKED = 64 << 20


class FileFormatError(ValueError):
    """A file that is not a readable corvane file: foreign, corrupt, truncated, inconsistent
    or too large to expand. The message names the file and the fault."""


def npz_path(path) -> Path:
    """The file numpy writes for `path`: ".npz" is appended unless already there."""
    path = Path(os.fspath(path))
    return path if path.suffix == ".npz" else path.with_name(path.name + ".npz")


def save_npz(path, arrays: dict, compressed: bool = True) -> Path:
    """Write `arrays` to the .npz file at `path` atomically: into a temporary file beside it,
    then renamed over the target. Returns the path written."""
    path = npz_path(path)
    fd, tmp = tempfile.mkstemp(dir=path.parent, prefix=f".{path.name}.", suffix=".tmp")
    try:
        with os.fdopen(fd, "wb") as f:
            (np.savez_compressed if compressed else np.savez)(f, **arrays)
            f.flush()
            os.fsync(f.fileno())
        os.replace(tmp, path)
    except BaseException:
        try:
            os.unlink(tmp)
        except OSError:
            pass
        raise
    return path


def _resolve(path) -> Path:
    """`path`, or `path` + ".npz" when only that exists (what save wrote for it)."""
    path = Path(os.fspath(path))
    if not path.exists() and npz_path(path).exists():
        return npz_path(path)
    return path


def _check_sizes(archive: zipfile.ZipFile, name: Path) -> None:
    """Refuse an archive whose members would expand beyond reason, before reading them."""
    total = 0
    for info in archive.infolist():
        if info.file_size > MIN_CHECKED and info.file_size > MAX_EXPANSION * max(info.compress_size, 1):
            raise FileFormatError(f"{name}: member {info.filename!r} would expand from "
                                  f"{info.compress_size} to {info.file_size} bytes; refused")
        if info.filename.endswith(".npy"):
            with archive.open(info) as f:
                version = np.lib.format.read_magic(f)
                read_header = {(1, 0): np.lib.format.read_array_header_1_0,
                               (2, 0): np.lib.format.read_array_header_2_0}.get(version)
                if read_header is None:
                    raise FileFormatError(f"{name}: member {info.filename!r} has npy "
                                          f"format version {version}")
                shape, _, dtype = read_header(f)
            needed = math.prod(shape) * dtype.itemsize
            if needed > info.file_size:
                raise FileFormatError(f"{name}: member {info.filename!r} declares {shape} "
                                      f"{dtype} but holds {info.file_size} bytes")
        total += info.file_size
    available = _available_memory()
    if available is not None and total > available:
        raise FileFormatError(f"{name}: the arrays take {total} bytes, more than the "
                              f"{available} bytes of memory available")


def _available_memory() -> int | None:
    try:
        return os.sysconf("SC_AVPHYS_PAGES") * os.sysconf("SC_PAGE_SIZE")
    except (ValueError, OSError, AttributeError):
        return None


def read_npz(path, fmt: str, what: str) -> tuple[dict, dict]:
    """(meta, arrays) of a corvane .npz file whose metadata says format `fmt` (a `what` file),
    after the size checks; every fault of the file is a FileFormatError. A missing file
    stays FileNotFoundError."""
    path = _resolve(path)
    try:
        with zipfile.ZipFile(path) as archive:
            _check_sizes(archive, path)
        with np.load(path, allow_pickle=False) as data:
            if "meta" not in data:
                raise FileFormatError(f"{path} is not a corvane {what} file (no metadata)")
            meta = json.loads(str(data["meta"]))
            if not isinstance(meta, dict) or meta.get("format") != fmt:
                raise FileFormatError(f"{path} is not a corvane {what} file")
            arrays = {k: data[k] for k in data.files if k != "meta"}
    except FileFormatError:
        raise
    except MemoryError:
        raise
    except OSError as exc:
        if exc.errno is not None:  # the file system's fault, not the file's
            raise
        raise FileFormatError(f"{path}: unreadable archive ({exc})") from None
    except Exception as exc:  # noqa: BLE001 - zip, zlib, npy header and JSON faults alike
        raise FileFormatError(f"{path}: unreadable archive ({type(exc).__name__}: {exc})") from None
    return meta, arrays


def check(condition: bool, path, what: str) -> None:
    """Raise a FileFormatError naming the file and `what` is wrong unless `condition`."""
    if not condition:
        raise FileFormatError(f"{_resolve(path)}: {what}")


def _edges(value, path, name: str) -> np.ndarray:
    e = np.asarray(value, dtype=float)
    check(e.ndim == 1 and e.size >= 2 and np.all(np.isfinite(e)) and np.all(np.diff(e) > 0),
          path, f"{name} must be at least two increasing finite numbers")
    return e



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
    """Write a `Mode` or a `ModeSet` to `path` (a .npz file; the suffix is added if absent),
    atomically: an existing file is replaced only once the new one is complete."""
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
                   "pml_fraction": m.pml_fraction, "label": m.label,
                   "neff_error": m.neff_error} for m in mode_list],
    }
    arrays = {c: np.stack([getattr(m, c) for m in mode_list]) for c in COMPONENTS}
    arrays["neff"] = np.array([m.neff for m in mode_list], complex)
    arrays["pml_mask"] = np.asarray(ctx.pml_mask)
    save_npz(path, {"meta": np.array(json.dumps(meta)), **arrays})


def read(path) -> tuple[dict, dict]:
    """The description (JSON) and the arrays (components, "neff", "pml_mask") of a file
    written by `save`, checked against each other: a FileFormatError names any fault."""
    meta, arrays = read_npz(path, FORMAT, "modes")
    with file_faults(path):
        version = meta.get("version", 0)
        check(isinstance(version, int), path, f"format version {version!r} is not a number")
        if version > VERSION:
            raise FileFormatError(f"{path} was written by a newer corvane (format version "
                                  f"{version}); upgrade corvane to read it")
        _check_modes(meta, arrays, path)
    return meta, {**{k: arrays[k].astype(complex) for k in (*COMPONENTS, "neff")},
                  "pml_mask": arrays["pml_mask"]}


@contextlib.contextmanager
def file_faults(path):
    """Within this block, a missing entry or a value of the wrong type or range in a file's
    contents is a FileFormatError naming the file."""
    try:
        yield
    except FileFormatError:
        raise
    except (KeyError, TypeError, ValueError, AttributeError, IndexError) as exc:
        raise FileFormatError(f"{_resolve(path)}: inconsistent contents "
                              f"({type(exc).__name__}: {exc})") from None


def _check_modes(meta: dict, arrays: dict, path) -> None:
    for key in (*COMPONENTS, "neff", "pml_mask"):
        check(key in arrays, path, f"the array {key!r} is missing")
    x_edges = _edges(meta["grid"]["x_edges"], path, "grid x_edges")
    y_edges = _edges(meta["grid"]["y_edges"], path, "grid y_edges")
    inner = meta.get("inner_grid")
    if inner:
        _edges(inner["x_edges"], path, "inner x_edges")
        _edges(inner["y_edges"], path, "inner y_edges")
    infos = meta["modes"]
    check(isinstance(infos, list) and infos and all(isinstance(i, dict) for i in infos), path,
          "the file lists no modes")
    shape = (len(infos), x_edges.size - 1, y_edges.size - 1)
    for c in COMPONENTS:
        a = arrays[c]
        check(a.shape == shape and a.dtype.kind in "fc", path,
              f"{c} has shape {a.shape} ({a.dtype}); the grid and mode list give {shape}")
        check(bool(np.all(np.isfinite(a))), path, f"{c} has non-finite samples")
    neff = arrays["neff"]
    check(neff.shape == (len(infos),) and neff.dtype.kind in "fc"
          and bool(np.all(np.isfinite(neff))), path, "neff must be one finite number per mode")
    mask = arrays["pml_mask"]
    check(mask.shape == shape[1:] and mask.dtype == bool, path,
          f"pml_mask has shape {mask.shape} ({mask.dtype}); the grid gives {shape[1:]}")
    wavelength = meta["wavelength"]
    check(isinstance(wavelength, (int, float)) and not isinstance(wavelength, bool)
          and math.isfinite(wavelength) and wavelength > 0, path,
          f"wavelength {wavelength!r} is not a positive length in micrometres")
    check(isinstance(meta["settings"], dict), path, "settings must be a table")
    check(isinstance(meta["single"], bool) and (meta["single"] or isinstance(meta["set"], dict)),
          path, "the file does not say whether it holds one mode or a set")
    for info in infos:
        check(isinstance(info["kind"], str) and isinstance(info["parity"], list)
              and all(isinstance(v, (int, float)) for v in
                      (info["residual"], info["wall_fraction"], info["pml_fraction"])),
              path, "a mode's kind, parity or diagnostics are malformed")
