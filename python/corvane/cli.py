"""The `corvane` command: solve the structure described in a TOML file.

    corvane examples/strip.toml -o strip_out

prints a table of the modes (or of the tracked modes of a sweep) and writes, into the output
directory, the results (results.json; sweep.npz for a sweep; modes.npz for a single solve)
and plots of the modes (mode_<k>.png) or of the sweep (sweep_neff.png). The file format is
documented in docs/workflows.md and by `corvane --help`.

The file is read strictly: an unknown key anywhere is an error naming it and the nearest
known one, and every value is checked for its type before anything is solved. The output
directory named in a file must lie below the file's folder (`--output` on the command line
may name any). A folder that is not empty is refused unless `--overwrite` is given, which
first removes the results of an earlier run (results.json, modes.npz, sweep.npz, mode_*.png,
sweep_*.png, index.png) so no stale file sits beside the new ones; other files are left alone.

Exit status: 0 done; 1 a sweep point failed (the others are written, the failures listed)
or the system failed (a write, memory); 2 a mistake in the file or the arguments; 130
interrupted (the points solved before Ctrl-C are written).
"""

from __future__ import annotations

import argparse
import copy
import dataclasses
import difflib
import inspect
import json
import logging
import math
import os
import sys
import tomllib
from pathlib import Path

import numpy as np

import corvane
from corvane import PML, geometry, materials
from corvane.materials import Material

log = logging.getLogger("corvane")

EXAMPLE = """\
wavelength = 1.55                 # vacuum wavelength, micrometres

[materials]                       # names used below; a number is a refractive index,
core = "silicon"                  # a string a library material (silicon, silica,
clad = 1.444                      # silicon_nitride, air, ...), a table a Material
                                  # description, e.g. {index = {re = 3.48, im = 1e-4}}
[structure]
background = "clad"
[[structure.shapes]]              # painted in order, later over earlier
type = "rectangle"                # rectangle | polygon | ellipse | layer
center = [0.0, 0.11]              # micrometres
size = [0.5, 0.22]
material = "core"

[solver]                          # keywords of corvane.solve
num_modes = 2
step = 0.02                       # largest cell, micrometres; or instead
                                  # accuracy = 1e-4 (target on neff: a series of grids)
pml = 0.5                         # PML thickness, micrometres; per side:
                                  # {left = 0.5, right = 0.5, bottom = 1, top = 0.5}
                                  # or [left, right, bottom, top]

[sweep]                           # optional: one solve per value, modes tracked
parameter = "wavelength"          # or a dotted path into this file, e.g.
start = 1.50                      #   "structure.shapes.0.size.0" (the core width)
stop = 1.60                       # or: values = [1.50, 1.55, 1.60]
num = 5
group_index = true

[output]
directory = "corvane_out"         # a folder below the TOML file's folder
plots = true
"""

_TOP_KEYS = ("wavelength", "materials", "structure", "solver", "sweep", "output")
_SOLVER_KEYS = ("num_modes", "step", "accuracy", "pml", "symmetry", "neff_guess",
                "include_all", "formulation", "bend_radius", "krylov_dim")
_SWEEP_KEYS = ("parameter", "values", "start", "stop", "num", "group_index", "reuse")
_OUTPUT_KEYS = ("directory", "plots")
_MATERIAL_KEYS = ("library", "index", "eps", "mu", "name", "source", "orientation")
_PML_KEYS = ("left", "right", "bottom", "top", "strength", "order")
_PML_SIDES = _PML_KEYS[:4]
# What a run writes into its folder: removed by --overwrite before a new run writes.
_OUTPUT_PATTERNS = ("results.json", "modes.npz", "sweep.npz", "mode_*.png", "sweep_*.png",
                    "index.png")


class ConfigError(ValueError):
    """A mistake in the TOML description; the message names the key and the fix."""


class OutputError(ConfigError):
    """An output folder the run may not write into as asked (not empty, or outside the
    file's folder)."""


# --- checking values ---------------------------------------------------------------------

def _check_keys(table: dict, known, where: str) -> None:
    """Refuse a key of `table` (at `where`, e.g. "[solver]") outside `known`, naming the
    nearest known key."""
    for key in table:
        if key not in known:
            near = difflib.get_close_matches(str(key), list(known), n=1)
            hint = f"did you mean {near[0]!r}?" if near else f"known: {', '.join(known)}"
            raise ConfigError(f"unknown key {key!r} in {where}; {hint}")


def _table(value, where: str) -> dict:
    if not isinstance(value, dict):
        raise ConfigError(f"{where} must be a table, got {value!r}")
    return value


def _number(value, where: str) -> float:
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise ConfigError(f"{where} must be a number, got {value!r}")
    return float(value)


def _integer(value, where: str) -> int:
    """A whole number: 1.5, "2" and true are refused (TOML writes integers without a point)."""
    if isinstance(value, bool) or not isinstance(value, int):
        raise ConfigError(f"{where} must be a whole number such as 3, got {value!r}")
    return value


def _boolean(value, where: str) -> bool:
    if not isinstance(value, bool):
        raise ConfigError(f"{where} must be true or false, got {value!r}")
    return value


# --- reading the description -----------------------------------------------------------

def _material(value, named: dict, where: str):
    if isinstance(value, bool):
        raise ConfigError(f"{where}: a material is a number (index), a name or a table, not {value!r}")
    if isinstance(value, (int, float)):
        return Material(index=float(value))
    if isinstance(value, str):
        if value in named:
            return named[value]
        library = getattr(materials, value, None)
        if isinstance(library, Material):
            return library
        raise ConfigError(f"{where}: unknown material {value!r}; define it under [materials] or "
                          "use a library name such as 'silicon', 'silica', 'silicon_nitride', 'air'")
    if isinstance(value, dict):
        _check_keys(value, _MATERIAL_KEYS, where)
        try:
            return Material.from_dict(value)
        except (TypeError, ValueError, KeyError) as exc:
            raise ConfigError(f"{where}: cannot read the material table {value!r}: {exc}") from None
    raise ConfigError(f"{where}: a material is a number, a name or a table, got {value!r}")


def _materials(doc: dict) -> dict:
    named = {}
    for name, value in _table(doc.get("materials", {}), "[materials]").items():
        named[name] = _material(value, named, f"materials.{name}")
    return named


_SHAPES = {"rectangle": geometry.Rectangle, "polygon": geometry.Polygon,
           "ellipse": geometry.Ellipse, "layer": geometry.Layer}
_BUILDERS = {"strip": geometry.strip, "rib": geometry.rib, "slot": geometry.slot}


def _parameters(fn) -> tuple[str, ...]:
    if dataclasses.is_dataclass(fn):
        return tuple(f.name for f in dataclasses.fields(fn) if f.init)
    return tuple(inspect.signature(fn).parameters)


def build_structure(doc: dict):
    """The Structure described by the [structure] table of a parsed TOML document."""
    named = _materials(doc)
    table = doc.get("structure")
    if not isinstance(table, dict):
        raise ConfigError("the file needs a [structure] table (shapes or a builder); see "
                          "`corvane --help` for an example")
    table = dict(table)
    if "builder" in table:
        name = table.pop("builder")
        builder = _BUILDERS.get(name) if isinstance(name, str) else None
        if builder is None:
            raise ConfigError(f"structure.builder must be 'strip', 'rib' or 'slot', got {name!r}")
        _check_keys(table, _parameters(builder), f"[structure] (builder {name!r})")
        for key in ("core", "cladding", "substrate"):
            if key in table:
                table[key] = _material(table[key], named, f"structure.{key}")
        try:
            return builder(**table)
        except (TypeError, ValueError) as exc:
            raise ConfigError(f"structure: {exc}") from None
    _check_keys(table, ("background", "shapes"), "[structure]")
    shapes = table.get("shapes", [])
    if not isinstance(shapes, list):
        raise ConfigError("structure.shapes must be a list of [[structure.shapes]] tables")
    built = [_shape(shape, named, f"structure.shapes.{k}") for k, shape in enumerate(shapes)]
    if not built:
        raise ConfigError("structure has no shapes: add [[structure.shapes]] tables or a builder")
    background = _material(table.get("background", 1.0), named, "structure.background")
    return geometry.Structure(built, background=background)


def _shape(shape, named: dict, where: str):
    shape = dict(_table(shape, where))
    kind = shape.pop("type", None)
    cls = _SHAPES.get(kind) if isinstance(kind, str) else None
    if cls is None:
        raise ConfigError(f"{where}.type must be rectangle, polygon, ellipse or layer, got {kind!r}")
    _check_keys(shape, _parameters(cls), f"{where} ({kind})")
    if "material" not in shape:
        raise ConfigError(f"{where} needs a material")
    material = _material(shape.pop("material"), named, f"{where}.material")
    if kind == "layer" and isinstance(shape.get("y"), list):
        shape["y"] = tuple(shape["y"])
    try:
        return cls(material=material, **shape)
    except (TypeError, ValueError) as exc:
        raise ConfigError(f"{where}: {exc}") from None


def _set_path(doc: dict, path: str, value) -> dict:
    """A copy of `doc` with the entry at the dotted `path` (list indices as numbers) set."""
    out = copy.deepcopy(doc)
    keys = path.split(".")
    node = out
    try:
        for key in keys[:-1]:
            node = node[int(key)] if isinstance(node, list) else node[key]
        last = keys[-1]
        if isinstance(node, list):
            node[int(last)] = value
        else:
            if last not in node:
                raise KeyError(last)
            node[last] = value
    except (KeyError, IndexError, ValueError, TypeError):
        raise ConfigError(f"sweep.parameter {path!r} does not name an entry of the file; give a "
                          "dotted path such as 'structure.shapes.0.size.0'") from None
    return out


class _Builder:
    """value -> Structure with the value written at a dotted path (picklable)."""

    def __init__(self, doc: dict, path: str):
        self.doc, self.path = doc, path
        build_structure(_set_path(doc, path, 1.0))  # fail early on a bad path

    def __call__(self, value):
        return build_structure(_set_path(self.doc, self.path, float(value)))


def _sweep_values(table: dict) -> np.ndarray:
    if "values" in table and any(k in table for k in ("start", "stop", "num")):
        raise ConfigError("[sweep] takes values = [...] or start, stop and num, not both")
    if "values" in table:
        values = table["values"]
        if not isinstance(values, list) or not values:
            raise ConfigError(f"sweep.values must be a non-empty list of numbers, got {values!r}")
        return np.array([_number(v, f"sweep.values.{k}") for k, v in enumerate(values)])
    missing = [k for k in ("start", "stop", "num") if k not in table]
    if missing:
        raise ConfigError(f"[sweep] needs values = [...] or start, stop and num (missing "
                          f"{', '.join(missing)})")
    num = _integer(table["num"], "sweep.num")
    if num < 1:
        raise ConfigError(f"sweep.num must be at least 1, got {num}")
    return np.linspace(_number(table["start"], "sweep.start"),
                       _number(table["stop"], "sweep.stop"), num)


def _sweep_table(doc: dict) -> dict | None:
    """The checked [sweep] table, or None without one."""
    if "sweep" not in doc:
        return None
    table = dict(_table(doc["sweep"], "[sweep]"))
    _check_keys(table, _SWEEP_KEYS, "[sweep]")
    parameter = table.setdefault("parameter", "wavelength")
    if not isinstance(parameter, str):
        raise ConfigError(f"sweep.parameter must be a text, got {parameter!r}")
    if parameter != "wavelength" and parameter.split(".")[0] not in ("structure", "materials"):
        raise ConfigError(
            f"sweep.parameter {parameter!r} cannot be swept: a sweep varies the wavelength or an "
            "entry of [structure] or [materials] (for solver settings such as the step, run "
            "the file once per value, e.g. with --step)")
    if "group_index" in table:
        _boolean(table["group_index"], "sweep.group_index")
    if "reuse" in table and table["reuse"] not in (True, False, "shift"):
        raise ConfigError(f"sweep.reuse must be true, false or \"shift\", got {table['reuse']!r}")
    return table


def _pml(value):
    """[solver] pml: a thickness (micrometres), a table of sides or [left, right, bottom, top]."""
    if isinstance(value, dict):
        _check_keys(value, _PML_KEYS, "solver.pml")
        sides = {k: _number(v, f"solver.pml.{k}") for k, v in value.items() if k in _PML_SIDES}
        extra = {k: value[k] for k in ("strength", "order") if k in value}
        if "strength" in extra:
            extra["strength"] = _number(extra["strength"], "solver.pml.strength")
        if "order" in extra:
            extra["order"] = _integer(extra["order"], "solver.pml.order")
        return PML(**sides, **extra)
    if isinstance(value, list):
        if len(value) != 4:
            raise ConfigError(f"solver.pml as a list is [left, right, bottom, top] "
                              f"(micrometres), got {value!r}")
        return PML(*(_number(v, f"solver.pml.{k}") for k, v in zip(_PML_SIDES, value)))
    if isinstance(value, str):
        return value  # "auto"; corvane.solve names the choices
    return _number(value, "solver.pml")


def _solver_options(doc: dict, args) -> dict:
    table = dict(_table(doc.get("solver", {}), "[solver]"))
    _check_keys(table, _SOLVER_KEYS, "[solver]")
    for key in ("num_modes", "krylov_dim"):
        if key in table:
            _integer(table[key], f"solver.{key}")
    for key in ("step", "accuracy", "bend_radius", "neff_guess"):
        if key in table:
            _number(table[key], f"solver.{key}")
    if "include_all" in table:
        _boolean(table["include_all"], "solver.include_all")
    if "pml" in table:
        table["pml"] = _pml(table["pml"])
    if args.modes is not None:
        table["num_modes"] = args.modes
    if args.step is not None:
        table["step"] = args.step
    if getattr(args, "max_cells", None) is not None:
        table["max_cells"] = args.max_cells
    return table


def _output(doc: dict, path: Path, output, overwrite: bool) -> tuple[Path, bool | None]:
    """(folder to write into, plots from the file). A folder named in the file must lie
    below the file's folder; one named by the caller (`output`) may be anywhere."""
    table = _table(doc.get("output", {}), "[output]")
    _check_keys(table, _OUTPUT_KEYS, "[output]")
    plots = _boolean(table["plots"], "output.plots") if "plots" in table else None
    if output is not None:
        out = Path(output)
    else:
        directory = table.get("directory", "corvane_out")
        if not isinstance(directory, str) or not directory:
            raise ConfigError(f"output.directory must be a folder name, got {directory!r}")
        base = path.parent.resolve()
        out = (base / directory).resolve()
        if out == base or not out.is_relative_to(base):
            raise OutputError(f"output.directory {directory!r} is not below the file's folder "
                              f"{base}; name a folder inside it, or give --output on the "
                              "command line")
    _prepare(out, overwrite)
    return out, plots


def _prepare(out: Path, overwrite: bool) -> None:
    """Create `out`, or clear an earlier run's results from it with `overwrite`."""
    if out.is_dir() and any(out.iterdir()):
        if not overwrite:
            raise OutputError(f"the output folder {out} is not empty; pass --overwrite to "
                              "replace an earlier run's results, or choose another folder")
        for pattern in _OUTPUT_PATTERNS:
            for old in out.glob(pattern):
                if old.is_file():
                    old.unlink()
    out.mkdir(parents=True, exist_ok=True)


# --- running -----------------------------------------------------------------------------

def _jsonable(value):
    if isinstance(value, complex) or np.iscomplexobj(value):
        arr = np.asarray(value)
        return {"re": _jsonable(arr.real), "im": _jsonable(arr.imag)}
    if isinstance(value, np.ndarray):
        return [_jsonable(v) for v in value.tolist()] if value.ndim else _jsonable(value.item())
    if isinstance(value, float):
        return value if math.isfinite(value) else None
    if isinstance(value, list):
        return [_jsonable(v) for v in value]
    return value


def _run_single(structure, wavelength, options, out: Path, plots: bool) -> dict:
    modes = corvane.solve(structure, wavelength, **options)
    print(f"{len(modes)} modes at {wavelength} um")
    print(modes.table())
    records = []
    for k, m in enumerate(modes):
        records.append({"index": k, "label": m.label, "symmetry": m.symmetry,
                        "neff": {"re": m.neff.real, "im": m.neff.imag},
                        "neff_error": m.neff_error,
                        "loss_db_per_cm": _jsonable(float(m.loss_db_per_cm)),
                        "te_fraction": float(m.te_fraction), "polarization": m.polarization,
                        "kind": m.kind})
    if hasattr(modes, "save"):
        try:
            modes.save(out / "modes.npz")
        except Exception as exc:  # noqa: BLE001 - the table and JSON results still count
            log.warning("could not write modes.npz: %s", exc)
    if plots:
        _plot_modes(modes, out)
    return {"wavelength_um": wavelength, "modes": records}


def _plot_modes(modes, out: Path) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    for k, m in enumerate(modes):
        fig, ax = plt.subplots(figsize=(5, 4))
        m.plot(ax=ax)
        fig.savefig(out / f"mode_{k}.png", dpi=100, bbox_inches="tight")
        plt.close(fig)
    if len(modes):
        ax = modes.plot_index()
        ax.figure.savefig(out / "index.png", dpi=100, bbox_inches="tight")
        plt.close(ax.figure)


def _run_sweep(doc, structure, wavelength, options, table, values, out: Path, plots: bool,
               progress) -> dict:
    parameter = table["parameter"]
    num_modes = options.pop("num_modes", 1)
    extra = {k: table[k] for k in ("group_index", "reuse") if k in table}
    if parameter == "wavelength":
        result = corvane.sweep(structure, values, num_modes=num_modes, progress=progress,
                               **extra, **options)
    else:
        result = corvane.sweep(_Builder(doc, parameter), values, wavelength=wavelength,
                               num_modes=num_modes, parameter=parameter, progress=progress,
                               **extra, **options)
    print(sweep_table(result))
    result.save(out / "sweep.npz")
    if plots and len(result):
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt

        for quantity in ("neff",) + (("ng",) if result.group_index is not None else ()):
            ax = result.plot(quantity, label=axis_label(doc, result.parameter))
            ax.figure.savefig(out / f"sweep_{quantity}.png", dpi=100, bbox_inches="tight")
            plt.close(ax.figure)
    return {
        "parameter": result.parameter, "values": _jsonable(result.values),
        "labels": [result.label(m) for m in range(result.num_tracked)],
        "neff": _jsonable(result.neff), "confidence": _jsonable(result.confidence),
        "group_index": None if result.group_index is None else _jsonable(result.group_index),
        "neff_error": None if result.neff_error is None else _jsonable(result.neff_error),
        "failed": [{"value": f.value, "error": f.error} for f in result.failed],
        "cancelled": result.cancelled,
    }


_FIELD_NAMES = {"size": ("width", "height"), "center": ("x centre", "y centre"),
                "radii": ("x radius", "y radius")}


def axis_label(doc: dict, parameter: str) -> str:
    """A readable name of a swept entry for plot axes, e.g. "structure.shapes.0.size.0" ->
    "rectangle 0 width (µm)"; the path itself when it is not a shape's length."""
    if parameter == "wavelength":
        return "wavelength (µm)"
    keys = parameter.split(".")
    if len(keys) == 5 and keys[:2] == ["structure", "shapes"] and keys[3] in _FIELD_NAMES:
        try:
            shape = doc["structure"]["shapes"][int(keys[2])]
            name = _FIELD_NAMES[keys[3]][int(keys[4])]
        except (KeyError, IndexError, ValueError, TypeError):
            return parameter
        return f"{shape.get('type', 'shape')} {keys[2]} {name} (µm)"
    return parameter


def sweep_table(result) -> str:
    """A text table of a Sweep: one row per point, Re(neff) (and ng) per tracked mode."""
    head = f"{result.parameter:>12}"
    for m in range(result.num_tracked):
        head += f"  {'neff ' + result.label(m):>10}"
        if result.group_index is not None:
            head += f"  {'ng ' + result.label(m):>8}"
        head += f"  {'conf':>4}"
    lines = [head]
    for p, value in enumerate(result.values):
        line = f"{value:>12.6g}"
        for m in range(result.num_tracked):
            line += f"  {result.neff[p, m].real:>10.6f}"
            if result.group_index is not None:
                line += f"  {np.real(result.group_index[p, m]):>8.4f}"
            line += f"  {result.confidence[p, m]:>4.2f}"
        lines.append(line)
    for f in result.failed:
        lines.append(f"{f.value:>12.6g}  failed: {f.error}")
    if result.cancelled:
        lines.append("(interrupted: the points above were solved)")
    return "\n".join(lines)


def run(path, *, output=None, plots=None, modes=None, step=None, wavelength=None,
        progress=None, max_cells=None, overwrite=False) -> dict:
    """Run a TOML description as the command line does; returns the results written to
    results.json. Lengths in micrometres. `output` may name any folder; without it the
    file's [output] directory is used, which must lie below the file's folder. A folder that
    is not empty is refused unless `overwrite` (which removes an earlier run's results).

    >>> run("examples/strip.toml", output="strip_out", plots=False)   # doctest: +SKIP
    """
    args = argparse.Namespace(modes=modes, step=step, max_cells=max_cells)
    path = Path(path)
    with open(path, "rb") as f:
        try:
            doc = tomllib.load(f)
        except tomllib.TOMLDecodeError as exc:
            raise ConfigError(f"{path} is not valid TOML: {exc}") from None
        except RecursionError:
            raise ConfigError(f"{path} nests its arrays or tables too deeply") from None
    _check_keys(doc, _TOP_KEYS, "the top level")
    sweep_table_ = _sweep_table(doc)
    wavelength_sweep = sweep_table_ is not None and sweep_table_["parameter"] == "wavelength"
    wl = wavelength if wavelength is not None else doc.get("wavelength")
    if wl is None and not wavelength_sweep:
        raise ConfigError("the file needs wavelength = <micrometres> at the top level")
    if wl is not None:
        wl = _number(wl, "wavelength")
    structure = build_structure(doc)
    options = _solver_options(doc, args)
    values = _sweep_values(sweep_table_) if sweep_table_ is not None else None
    out, file_plots = _output(doc, path, output, overwrite)
    plots = (True if file_plots is None else file_plots) if plots is None else plots
    if sweep_table_ is not None:
        results = _run_sweep(doc, structure, wl, options, sweep_table_, values, out, plots,
                             progress)
    else:
        results = _run_single(structure, wl, options, out, plots)
    results["input"] = str(path)
    _write_text(out / "results.json", json.dumps(results, indent=2))
    print(f"results written to {out}/")
    return results


def _write_text(path: Path, text: str) -> None:
    """Write a text file whole or not at all (a temporary file renamed over it)."""
    tmp = path.with_name(f".{path.name}.tmp")
    tmp.write_text(text)
    os.replace(tmp, path)


def _positive_int(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a whole number such as 3, got {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"expected at least 1, got {value}")
    return value


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="corvane",
        description="Solve the modes of a waveguide cross-section described in a TOML file. "
                    "Prints a table of the modes (effective index, loss, polarisation) or, "
                    "with a [sweep] table, of the modes tracked across the sweep, and writes "
                    "results.json, the mode data (modes.npz or sweep.npz) and plots into the "
                    "output directory. Lengths are in micrometres.",
        epilog="Example file (examples/strip.toml):\n\n" + EXAMPLE,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("file", help="TOML description of the structure and the solve")
    parser.add_argument("-o", "--output", help="output directory (default: [output] directory "
                        "of the file, else corvane_out next to it)")
    parser.add_argument("--overwrite", action="store_true", help="write into a folder that "
                        "is not empty, removing an earlier run's results first")
    parser.add_argument("--no-plots", action="store_true", help="do not write plots")
    parser.add_argument("--modes", type=_positive_int,
                        help="number of modes (overrides [solver] num_modes)")
    parser.add_argument("--step", type=float, help="largest grid cell in micrometres "
                        "(overrides [solver] step)")
    parser.add_argument("--max-cells", type=float, help="refuse grids of more cells, PML "
                        "included (default: refuse what the available memory cannot hold)")
    parser.add_argument("--wavelength", type=float, help="wavelength in micrometres "
                        "(overrides the file's)")
    parser.add_argument("--progress", action=argparse.BooleanOptionalAction, default=None,
                        help="progress bar for sweeps (default: when on a terminal)")
    parser.add_argument("-v", "--verbose", action="count", default=0,
                        help="log what the solver does (-vv for debug)")
    return parser


def main(argv=None) -> int:
    """Entry point of the `corvane` console script and `python -m corvane`; returns the exit
    status (see the module's docstring)."""
    args = _parser().parse_args(argv)
    level = logging.WARNING - 10 * min(args.verbose, 2)
    logging.basicConfig(level=level, format="%(levelname)s %(name)s: %(message)s")
    try:
        results = run(args.file, output=args.output, plots=False if args.no_plots else None,
                      modes=args.modes, step=args.step, wavelength=args.wavelength,
                      progress=args.progress, max_cells=args.max_cells,
                      overwrite=args.overwrite)
    except FileNotFoundError as exc:
        return _fail(f"{exc.strerror}: {exc.filename}", 2)
    except (ConfigError, ValueError, TypeError) as exc:
        if args.verbose >= 2:
            raise
        return _fail(str(exc), 2)
    except KeyboardInterrupt:
        return _fail("interrupted", 130)
    except (OSError, MemoryError, RecursionError) as exc:
        if args.verbose >= 2:
            raise
        what = {MemoryError: "out of memory", RecursionError: "input nested too deeply"}.get(
            type(exc)) or type(exc).__name__
        return _fail(f"{what}: {exc}" if str(exc) else what, 1)
    failed = results.get("failed") or []
    if results.get("cancelled"):
        return _fail("interrupted; the points solved before are written", 130)
    if failed:
        lines = [f"{len(failed)} of {len(failed) + len(results['values'])} sweep points failed:"]
        lines += [f"  {results['parameter']} = {f['value']:g}: {f['error']}" for f in failed]
        return _fail("\n".join(lines), 1)
    return 0


def _fail(message: str, status: int) -> int:
    print(f"corvane: {message}", file=sys.stderr)
    return status
