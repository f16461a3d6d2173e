"""The `corvane` command: solve the structure described in a TOML file.

    corvane examples/strip.toml -o strip_out

prints a table of the modes (or of the tracked modes of a sweep) and writes, into the output
directory, the results (results.json; sweep.npz for a sweep; modes.npz for a single solve)
and plots of the modes (mode_<k>.png) or of the sweep (sweep_neff.png). The file format is
documented in docs/workflows.md and by `corvane --help`.
"""

from __future__ import annotations

import argparse
import copy
import json
import logging
import math
import sys
import tomllib
from pathlib import Path

import numpy as np

import corvane
from corvane import geometry, materials
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
step = 0.02                       # largest cell, micrometres
pml = 0.5                         # PML thickness, micrometres

[sweep]                           # optional: one solve per value, modes tracked
parameter = "wavelength"          # or a dotted path into this file, e.g.
start = 1.50                      #   "structure.shapes.0.size.0" (the core width)
stop = 1.60                       # or: values = [1.50, 1.55, 1.60]
num = 5
group_index = true

[output]
directory = "corvane_out"         # relative to the TOML file's directory
plots = true
"""

_SOLVER_KEYS = {"num_modes", "step", "pml", "symmetry", "neff_guess", "include_all",
                "formulation", "bend_radius", "krylov_dim"}
_SWEEP_KEYS = {"parameter", "values", "start", "stop", "num", "group_index", "reuse"}


class ConfigError(ValueError):
    """A mistake in the TOML description; the message names the key and the fix."""


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
        try:
            return Material.from_dict(value)
        except (TypeError, ValueError, KeyError) as exc:
            raise ConfigError(f"{where}: cannot read the material table {value!r}: {exc}") from None
    raise ConfigError(f"{where}: a material is a number, a name or a table, got {value!r}")


def _materials(doc: dict) -> dict:
    named = {}
    for name, value in doc.get("materials", {}).items():
        named[name] = _material(value, named, f"materials.{name}")
    return named


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
        builder = {"strip": geometry.strip, "rib": geometry.rib, "slot": geometry.slot}.get(name)
        if builder is None:
            raise ConfigError(f"structure.builder must be 'strip', 'rib' or 'slot', got {name!r}")
        for key in ("core", "cladding", "substrate"):
            if key in table:
                table[key] = _material(table[key], named, f"structure.{key}")
        try:
            return builder(**table)
        except TypeError as exc:
            raise ConfigError(f"structure: {exc}") from None
    shapes = []
    for k, shape in enumerate(table.get("shapes", [])):
        shape = dict(shape)
        where = f"structure.shapes.{k}"
        if "material" not in shape:
            raise ConfigError(f"{where} needs a material")
        material = _material(shape.pop("material"), named, f"{where}.material")
        kind = shape.pop("type", None)
        cls = {"rectangle": geometry.Rectangle, "polygon": geometry.Polygon,
               "ellipse": geometry.Ellipse, "layer": geometry.Layer}.get(kind)
        if cls is None:
            raise ConfigError(f"{where}.type must be rectangle, polygon, ellipse or layer, got {kind!r}")
        if kind == "layer" and "y" in shape:
            shape["y"] = tuple(float(v) for v in shape["y"])
        try:
            shapes.append(cls(material=material, **shape))
        except TypeError as exc:
            raise ConfigError(f"{where}: {exc}") from None
    if not shapes:
        raise ConfigError("structure has no shapes: add [[structure.shapes]] tables or a builder")
    background = _material(table.get("background", 1.0), named, "structure.background")
    return geometry.Structure(shapes, background=background)


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
    unknown = set(table) - _SWEEP_KEYS
    if unknown:
        raise ConfigError(f"unknown keys in [sweep]: {sorted(unknown)}; known: {sorted(_SWEEP_KEYS)}")
    if "values" in table:
        return np.asarray(table["values"], dtype=float)
    try:
        return np.linspace(float(table["start"]), float(table["stop"]), int(table["num"]))
    except KeyError as exc:
        raise ConfigError(f"[sweep] needs values = [...] or start, stop and num (missing {exc})") from None


def _solver_options(doc: dict, args) -> dict:
    table = dict(doc.get("solver", {}))
    unknown = set(table) - _SOLVER_KEYS
    if unknown:
        raise ConfigError(f"unknown keys in [solver]: {sorted(unknown)}; known: {sorted(_SOLVER_KEYS)}")
    if args.modes is not None:
        table["num_modes"] = args.modes
    if args.step is not None:
        table["step"] = args.step
    if getattr(args, "max_cells", None) is not None:
        table["max_cells"] = args.max_cells
    return table


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


def _run_sweep(doc, structure, wavelength, options, table, out: Path, plots: bool,
               progress) -> dict:
    values = _sweep_values(table)
    parameter = table.get("parameter", "wavelength")
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
        progress=None, max_cells=None) -> dict:
    """Run a TOML description as the command line does; returns the results written to
    results.json. Lengths in micrometres.

    >>> run("examples/strip.toml", output="strip_out", plots=False)   # doctest: +SKIP
    """
    args = argparse.Namespace(modes=modes, step=step, max_cells=max_cells)
    path = Path(path)
    try:
        with open(path, "rb") as f:
            doc = tomllib.load(f)
    except tomllib.TOMLDecodeError as exc:
        raise ConfigError(f"{path} is not valid TOML: {exc}") from None
    known = {"wavelength", "materials", "structure", "solver", "sweep", "output"}
    unknown = set(doc) - known
    if unknown:
        raise ConfigError(f"unknown top-level keys {sorted(unknown)}; known: {sorted(known)}")
    wl = wavelength if wavelength is not None else doc.get("wavelength")
    sweep_table_ = doc.get("sweep")
    wavelength_sweep = bool(sweep_table_) and sweep_table_.get("parameter", "wavelength") == "wavelength"
    if wl is None and not wavelength_sweep:
        raise ConfigError("the file needs wavelength = <micrometres> at the top level")
    structure = build_structure(doc)
    options = _solver_options(doc, args)
    out_table = doc.get("output", {})
    out = Path(output) if output is not None else path.parent / out_table.get("directory", "corvane_out")
    out.mkdir(parents=True, exist_ok=True)
    plots = out_table.get("plots", True) if plots is None else plots
    if sweep_table_:
        results = _run_sweep(doc, structure, wl, options, dict(sweep_table_), out, plots, progress)
    else:
        results = _run_single(structure, float(wl), options, out, plots)
    results["input"] = str(path)
    with open(out / "results.json", "w") as f:
        json.dump(results, f, indent=2)
    print(f"results written to {out}/")
    return results


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
    parser.add_argument("--no-plots", action="store_true", help="do not write plots")
    parser.add_argument("--modes", type=int, help="number of modes (overrides [solver] num_modes)")
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
    """Entry point of the `corvane` console script and `python -m corvane`."""
    args = _parser().parse_args(argv)
    level = logging.WARNING - 10 * min(args.verbose, 2)
    logging.basicConfig(level=level, format="%(levelname)s %(name)s: %(message)s")
    try:
        run(args.file, output=args.output, plots=False if args.no_plots else None,
            modes=args.modes, step=args.step, wavelength=args.wavelength,
            progress=args.progress, max_cells=args.max_cells)
    except FileNotFoundError as exc:
        print(f"corvane: {exc.strerror}: {exc.filename}", file=sys.stderr)
        return 2
    except (ConfigError, ValueError, TypeError) as exc:
        if args.verbose >= 2:
            raise
        print(f"corvane: {exc}", file=sys.stderr)
        return 2
    except KeyboardInterrupt:
        print("corvane: interrupted", file=sys.stderr)
        return 130
    return 0
