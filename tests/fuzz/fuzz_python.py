"""Fuzz run of the Python layer: random structures, grids, materials and solve settings;
sweeps; mutated .npz files; mutated TOML files through the command line. Cases are drawn by
hypothesis from fixed seeds and run in child processes under the watchdog of the core's
fuzz job (tests/fuzz/harness.py).

A case fails the run on a crash or a hang; an exception other than the clear ones
(ValueError, TypeError, MemoryError; FileFormatError for files; exit status 0, 1 or 2 for
the command line); a returned mode with a non-finite value, a residual above tolerance or
a guided label below the background index of an open window; more modes than asked; a sweep that loses a
point. A child whose peak resident memory passes the budget fails its batch. Prints the
cases per target, the outcomes, the failures, the peak memory and the time.

    python tests/fuzz/fuzz_python.py [--solves 120] [--sweeps 16] [--files 1500] [--tomls 160]
"""

import argparse
import contextlib
import io
import json
import math
import os
import random
import resource
import sys
import tempfile
import time
import zipfile

import harness

HANG_SECONDS = {"solve": 60.0, "sweep": 120.0, "file": 10.0, "toml": 60.0}
IDLE_SECONDS = 60.0
WORKER_ADDRESS_SPACE = 3 << 30
MEMORY_BUDGET_MIB = 1500
RESIDUAL_TOLERANCE = 1e-6
TARGETS = ("solve", "sweep", "file", "toml")


# ------------------------------------------------------------------- strategies (worker)

def strategies():
    from hypothesis import strategies as st

    centre = st.one_of(st.floats(-1.5, 1.5, allow_nan=False),
                       st.floats(-1.5, 1.5).map(lambda v: round(v, 3)),
                       st.sampled_from([0.0, 1e-9, -1e-12, 0.11, 0.3]))
    size = st.one_of(st.floats(0.05, 1.2), st.sampled_from([0.22, 0.5, 0.0365]))
    material = st.one_of(
        st.sampled_from([1.0, 1.444, 2.0, 3.48, "silicon", "silica", "silicon_nitride",
                         "lossy", "anisotropic", "table", "near_pole"]),
        st.floats(1.0, 4.0))
    shape = st.fixed_dictionaries({
        "type": st.sampled_from(["rectangle", "rectangle", "ellipse", "polygon"]),
        "center": st.tuples(centre, centre), "size": st.tuples(size, size),
        "vertices": st.integers(3, 9), "material": material})
    solve = st.fixed_dictionaries({
        "shapes": st.lists(shape, min_size=1, max_size=3),
        "background": st.sampled_from([1.0, 1.444, "silica"]),
        "wavelength": st.one_of(st.sampled_from([1.31, 1.55, 2.0]), st.floats(0.8, 4.0)),
        # One case in eight has a hostile step or mode count; the rest reach the solver.
        "step": st.sampled_from([0.06, 0.08, 0.1, 0.15] * 7
                                + [0.0, -0.1, math.nan, math.inf, "0.1"]),
        "pml": st.sampled_from([0.0, 0.3, 0.5, "sides", "auto"]),
        "num_modes": st.sampled_from([1, 2, 3, 4] * 9 + [0, -1, 1.5, True, 10**20]),
        "symmetry": st.sampled_from(["auto", "auto", "none"]),
        "grid": st.sampled_from([None] * 5 + [0.1, 0.2]),  # a uniform grid of this step
        "neff_guess": st.sampled_from([None] * 5 + [1.5, 3.0]),
        "include_all": st.sampled_from([False] * 5 + [True]),
        "seed": st.integers(0, 2**31),
    })
    sweep = st.fixed_dictionaries({
        "kind": st.sampled_from(["width", "wavelength"]),
        "values": st.lists(st.sampled_from([0.4, 0.45, 0.5, 0.6]), min_size=2, max_size=4),
        "reuse": st.sampled_from([True, False, "shift"]),
        "num_modes": st.integers(1, 2),
        "pole": st.booleans(),
    })
    file = st.fixed_dictionaries({
        "which": st.sampled_from(["modes", "sweep"]),
        "mutation": st.sampled_from(["bytes", "truncate", "array", "meta", "member"]),
        "seed": st.integers(0, 2**31),
    })
    toml = st.fixed_dictionaries({
        "mutations": st.lists(st.tuples(st.sampled_from(["typo", "type", "drop", "text",
                                                         "sweep", "nest"]),
                                        st.integers(0, 2**31)), min_size=1, max_size=3),
        "modes": st.sampled_from([None, None, "1", "0", "1e20", "-3", "2"]),
    })
    return {"solve": solve, "sweep": sweep, "file": file, "toml": toml}


# ------------------------------------------------------------------- materialising cases

def material(value, wavelength):
    import corvane
    from corvane.materials import Material

    if isinstance(value, (int, float)):
        return float(value)
    if value == "lossy":
        return Material(index=complex(3.0, 0.01))
    if value == "anisotropic":
        return Material(eps=(4.0, 5.0, 4.5))
    if value == "table":  # valid only within 0.2 um of the solve's wavelength
        def index(lam, centre=wavelength):
            if abs(lam - centre) > 0.2:
                raise ValueError(f"table covers {centre - 0.2:.2f}-{centre + 0.2:.2f} um, asked {lam}")
            return 2.0 + 0.1 * (lam - centre)
        return Material(index=index, name="table")
    if value == "near_pole":
        return Material.sellmeier(B=(1.0,), C=((wavelength * (1 + 1e-15)) ** 2,), name="near_pole")
    return getattr(corvane.materials, value)


def structure_of(c):
    from corvane import geometry

    rng = random.Random(c["seed"])
    shapes = []
    for s in c["shapes"]:
        m = material(s["material"], c["wavelength"] if isinstance(c["wavelength"], float) else 1.55)
        (x, y), (w, h) = s["center"], s["size"]
        if s["type"] == "rectangle":
            shapes.append(geometry.Rectangle(center=(x, y), size=(w, h), material=m))
        elif s["type"] == "ellipse":
            shapes.append(geometry.Ellipse(center=(x, y), radii=(w / 2, h / 2), material=m))
        else:
            angles = sorted(rng.uniform(0, 2 * math.pi) for _ in range(s["vertices"]))
            shapes.append(geometry.Polygon(
                vertices=[(x + w / 2 * math.cos(a), y + h / 2 * math.sin(a)) for a in angles],
                material=m))
    return geometry.Structure(shapes, background=material(c["background"], 1.55))


def check_modes(modes, num_modes, background_index):
    """None when the returned modes are sound, else what is wrong."""
    import numpy as np

    if isinstance(num_modes, int) and len(modes) > num_modes:
        return f"{len(modes)} modes for num_modes={num_modes}"
    for k, m in enumerate(modes):
        if not np.isfinite(m.neff):
            return f"mode {k}: neff {m.neff}"
        for name in ("ex", "ey", "ez", "hx", "hy", "hz"):
            if not np.all(np.isfinite(getattr(m, name))):
                return f"mode {k}: non-finite {name}"
        if not (m.residual <= RESIDUAL_TOLERANCE):
            return f"mode {k} ({m.kind}, neff {m.neff:.6g}): residual {m.residual:.3g}"
        if m.kind == "guided" and background_index is not None and \
                m.neff.real < background_index - 1e-9:
            return f"mode {k} labelled guided at neff {m.neff.real:.6g} below the background"
    return None


def run_solve(c):
    import corvane
    from corvane.grid import Grid

    structure = structure_of(c)
    pml = corvane.PML(left=0.3, right=0.4, bottom=0.5, top=0.2) if c["pml"] == "sides" else c["pml"]
    if c["grid"] is None:
        where = {"step": c["step"]}
    else:
        where = {"grid": Grid.uniform(x=(-2.0, 2.0), y=(-1.5, 1.5), step=c["grid"])}
    modes = corvane.solve(structure, c["wavelength"], num_modes=c["num_modes"], pml=pml,
                          symmetry=c["symmetry"], neff_guess=c["neff_guess"],
                          include_all=c["include_all"], **where)
    if c["include_all"]:
        modes = [m for m in modes if m.kind in ("guided", "leaky")]
    # With PML a guided mode lies above the background; in a closed window a structure
    # without index contrast is a metal guide, whose modes all lie below it.
    background = None
    if c["pml"] != 0.0:
        try:
            background = structure.background.index(c["wavelength"]).real
        except ValueError:
            pass
    # include_all returns every mode found, beyond num_modes.
    count = None if c["include_all"] else c["num_modes"]
    return check_modes(modes, count, background), "returned"


def run_sweep(c):
    import numpy as np

    import corvane
    from corvane.geometry import strip
    from corvane.materials import Material

    if c["kind"] == "width":
        result = corvane.sweep(lambda w: strip(width=w, height=0.22, core=3.48, cladding=1.444),
                               c["values"], wavelength=1.55, num_modes=c["num_modes"],
                               reuse=c["reuse"], step=0.1, pml=0.3)
    else:
        core = Material.sellmeier(B=(1.0,), C=(1.6**2,), name="resonant") if c["pole"] else 3.48
        wavelengths = [1.2 + v for v in c["values"]]  # 1.6 sits on the pole
        result = corvane.sweep(strip(width=0.5, height=0.22, core=core, cladding=1.444),
                               wavelengths, num_modes=c["num_modes"], reuse=c["reuse"],
                               step=0.1, pml=0.3)
    if len(result.values) + len(result.failed) != len(c["values"]):
        return f"{len(result.values)} solved + {len(result.failed)} failed of {len(c['values'])}", ""
    if np.any(np.isinf(result.neff)):
        return "infinite neff", ""
    return None, "all points" if not result.failed else "some points failed"


class Files:
    """A modes file and a sweep file, written once per worker, to mutate."""

    def __init__(self, folder):
        import corvane
        from corvane.geometry import strip

        s = strip(width=0.5, height=0.22, core=3.48, cladding=1.444)
        self.folder = folder
        self.paths = {"modes": os.path.join(folder, "modes.npz"),
                      "sweep": os.path.join(folder, "sweep.npz")}
        corvane.solve(s, 1.55, num_modes=2, step=0.12, pml=0.3).save(self.paths["modes"])
        corvane.sweep(s, [1.5, 1.55], num_modes=1, step=0.12, pml=0.3).save(self.paths["sweep"])
        self.bytes = {k: open(p, "rb").read() for k, p in self.paths.items()}


def mutated(files, c):
    """The path of a mutated copy of one of the files."""
    import numpy as np

    rng = random.Random(c["seed"])
    data = bytearray(files.bytes[c["which"]])
    out = os.path.join(files.folder, "mutated.npz")
    kind = c["mutation"]
    if kind == "bytes":
        for _ in range(rng.randint(1, 8)):
            data[rng.randrange(len(data))] = rng.randrange(256)
    elif kind == "truncate":
        data = data[: rng.randrange(len(data))]
    if kind in ("bytes", "truncate"):
        with open(out, "wb") as f:
            f.write(data)
        return out
    with np.load(files.paths[c["which"]]) as npz:
        contents = {k: npz[k] for k in npz.files}
    meta = json.loads(str(contents["meta"]))
    if kind == "meta":
        key = rng.choice(sorted(meta))
        meta[key] = rng.choice([None, -1.0, "x", [], {}, 1e300, [1, 2], True, math.nan])
    elif kind == "array":
        name = rng.choice(sorted(k for k in contents if k != "meta"))
        a = contents[name]
        contents[name] = rng.choice([
            a[..., :-1] if a.ndim else a, a.astype(np.float32), np.full_like(a, np.nan)
            if a.dtype.kind in "fc" else a[::-1], a.reshape(-1), np.array("text"), a[:0]])
    else:  # member: drop one
        contents.pop(rng.choice(sorted(contents)))
    contents["meta"] = np.array(json.dumps(meta))
    np.savez(out, **contents)
    return out


def run_file(files, c):
    import numpy as np

    import corvane

    path = mutated(files, c)
    load = corvane.load if c["which"] == "modes" else corvane.load_sweep
    try:
        loaded = load(path)
    except corvane.FileFormatError:
        return None, "FileFormatError"
    if c["which"] == "modes":
        modes = [loaded] if isinstance(loaded, corvane.Mode) else list(loaded)
        return check_modes(modes, None, None), "loaded"
    if np.any(np.isinf(loaded.neff)) or not np.all(np.isfinite(loaded.values)):
        return "a sweep with non-finite values loaded", ""
    return None, "loaded"


BASE_TOML = {
    "wavelength": 1.55,
    "materials": {"core": 3.48, "clad": {"index": 1.444}},
    "structure": {"background": "clad",
                  "shapes": [{"type": "rectangle", "center": [0.0, 0.11], "size": [0.5, 0.22],
                              "material": "core"}]},
    "solver": {"num_modes": 1, "step": 0.12, "pml": 0.3},
    "output": {"plots": False},
}


def toml_text(doc, prefix=""):
    """A TOML text of `doc` (tables, arrays of tables, strings, numbers, booleans, lists)."""
    def value(v):
        if isinstance(v, bool):
            return "true" if v else "false"
        if isinstance(v, (int, float)):
            return repr(v) if math.isfinite(v) else ("nan" if v != v else ("inf" if v > 0 else "-inf"))
        if isinstance(v, str):
            return json.dumps(v)
        if isinstance(v, list):
            return "[" + ", ".join(value(x) for x in v) + "]"
        return "{" + ", ".join(f"{json.dumps(k)} = {value(x)}" for k, x in v.items()) + "}"

    lines, tables = [], []
    for k, v in doc.items():
        if isinstance(v, dict) and prefix.count(".") < 1:
            tables.append((k, v))
        elif isinstance(v, list) and v and all(isinstance(x, dict) for x in v):
            tables.extend((k, x, "array") for x in v)
        else:
            lines.append(f"{json.dumps(k)} = {value(v)}")
    for t in tables:
        name = f"{prefix}{t[0]}"
        lines.append(f"[[{name}]]" if len(t) == 3 else f"[{name}]")
        lines.append(toml_text(t[1], name + "."))
    return "\n".join(lines)


def tables_of(doc):
    """The non-empty tables of a document: the top level, its tables, the shapes."""
    tables = [doc] + [v for v in doc.values() if isinstance(v, dict)]
    structure = doc.get("structure")
    if isinstance(structure, dict) and isinstance(structure.get("shapes"), list):
        tables += structure["shapes"]
    return [t for t in tables if isinstance(t, dict) and t] or [doc]


def mutated_toml(c):
    import copy

    doc = copy.deepcopy(BASE_TOML)
    text = None
    for kind, seed in c["mutations"]:
        rng = random.Random(seed)
        table = rng.choice(tables_of(doc))
        key = rng.choice(sorted(table)) if table else "x"
        if kind == "typo" and table:
            word = list(key)
            word[rng.randrange(len(word))] = rng.choice("aeioxz_")
            table["".join(word)] = table.pop(key)
        elif kind == "type" and table:
            table[key] = rng.choice([1.5, "2", True, [1], {"a": 1}, -1, 0, 1e300, math.nan, "",
                                     [[0, 0], [1, 0]], 2**70])
        elif kind == "drop" and table:
            table.pop(key)
        elif kind == "sweep":
            doc["sweep"] = rng.choice([
                {"parameter": "structure.shapes.0.size.0", "values": [0.45, 0.45, 0.5]},
                {"parameter": "wavelength", "start": 1.5, "stop": 1.6, "num": 2},
                {"parameter": "solver.pml", "values": [0.2, 0.3]},
                {"parameter": "materials.core", "values": [3.4, 3.5]},
                {"parameter": "structure.shapes.7.size", "values": [1]}])
        elif kind == "nest":
            text = "a = " + "[" * rng.choice([10, 2000, 100000]) + "]" * 3
        elif kind == "text":
            text = text or toml_text(doc)
            pos = rng.randrange(len(text))
            text = text[:pos] + rng.choice(["", "[", "=", "\n", "\"", "1e9", "}"]) + text[pos + 1:]
    return text if text is not None else toml_text(doc)


def run_toml(folder, c):
    from corvane import cli

    path = os.path.join(folder, "case.toml")
    with open(path, "w") as f:
        f.write(mutated_toml(c))
    argv = [path, "-o", os.path.join(folder, "out"), "--no-plots", "--overwrite", "--no-progress"]
    if c["modes"] is not None:
        argv += ["--modes", c["modes"]]
    sink = io.StringIO()
    with contextlib.redirect_stdout(sink), contextlib.redirect_stderr(sink):
        try:
            status = cli.main(argv)
        except SystemExit as exc:  # argparse refusing an argument
            status = exc.code
    if status not in (0, 1, 2):
        return f"exit status {status}: {sink.getvalue()[-300:]}", ""
    if status == 1 and "sweep points failed" not in sink.getvalue():
        return f"exit status 1 without a failed sweep point: {sink.getvalue()[-300:]}", ""
    return None, f"exit {status}"


# ------------------------------------------------------------------- worker

def run_worker(target, batch_seed, calls):
    import warnings

    from hypothesis import HealthCheck, Phase, given, seed, settings

    resource.setrlimit(resource.RLIMIT_AS, (WORKER_ADDRESS_SPACE, resource.RLIM_INFINITY))
    warnings.simplefilter("ignore")
    import logging

    logging.getLogger("corvane").disabled = True  # warnings are expected; outcomes are checked
    folder = tempfile.mkdtemp(prefix="corvane-fuzz-")
    files = Files(folder) if target == "file" else None
    runners = {"solve": run_solve, "sweep": run_sweep, "file": lambda c: run_file(files, c),
               "toml": lambda c: run_toml(folder, c)}
    out = sys.stdout
    index = [0]

    @seed(batch_seed)
    @settings(max_examples=calls, database=None, deadline=None, phases=[Phase.generate],
              suppress_health_check=list(HealthCheck))
    @given(strategies()[target])
    def fuzz(c):
        i = index[0]
        index[0] += 1
        out.write(json.dumps({"begin": i, "target": target, "limit": HANG_SECONDS[target],
                              "call": repr(c)}) + "\n")
        out.flush()
        try:
            problem, label = runners[target](c)
        except (ValueError, TypeError, MemoryError) as e:
            if isinstance(e, MemoryError):
                # The solve must refuse a grid beyond the memory before allocating it.
                verdict = {"outcome": "bad", "why": f"MemoryError: {e}"[:300]}
            elif target in ("file", "toml", "sweep"):
                verdict = {"outcome": "bad", "why": f"escaped {type(e).__name__}: {e}"[:300]}
            else:
                verdict = {"outcome": f"{target} {type(e).__name__}"}
        except BaseException as e:  # noqa: BLE001 - classifying is the point
            verdict = {"outcome": "bad", "why": f"unexpected {type(e).__name__}: {e}"[:300]}
        else:
            verdict = {"outcome": f"{target} {label}"} if problem is None else \
                {"outcome": "bad", "why": problem}
        out.write(json.dumps({"end": i, **verdict}) + "\n")
        out.flush()

    fuzz()
    peak_mib = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss // 1024
    out.write(json.dumps({"done": index[0], "peak_mib": peak_mib}) + "\n")
    out.flush()


# ------------------------------------------------------------------- parent

def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    counts = {"solve": 120, "sweep": 16, "file": 1500, "toml": 160}
    for target, default in counts.items():
        parser.add_argument(f"--{target}s", type=int, default=default,
                            help=f"{target} cases (default {default})")
    parser.add_argument("--batches", type=int, default=2, help="children per target")
    parser.add_argument("--seed", type=int, default=0, help="seed of the first batch")
    parser.add_argument("--worker", nargs=3, metavar=("TARGET", "SEED", "CALLS"),
                        help=argparse.SUPPRESS)
    options = parser.parse_args()
    if options.worker:
        run_worker(options.worker[0], int(options.worker[1]), int(options.worker[2]))
        return 0

    started = time.monotonic()
    tally = {"calls": 0, "outcomes": {}}
    failures = []
    wanted = 0
    for target in TARGETS:
        calls = getattr(options, f"{target}s")
        wanted += calls
        per_batch = -(-calls // options.batches) if calls else 0
        for b in range(options.batches if calls else 0):
            batch_started = time.monotonic()
            batch = {"calls": 0, "outcomes": {}}
            command = [sys.executable, os.path.abspath(__file__), "--worker", target,
                       str(options.seed + b), str(per_batch)]
            found = harness.run_batch(command, batch, IDLE_SECONDS)
            peak = batch.get("peak_mib", 0)
            if peak > MEMORY_BUDGET_MIB:
                found.append(f"{target} batch {b + 1}: peak memory {peak} MiB above the "
                             f"budget of {MEMORY_BUDGET_MIB} MiB")
            failures += found
            tally["calls"] += batch["calls"]
            tally[target] = tally.get(target, 0) + batch["calls"]
            tally["peak_mib"] = max(tally.get("peak_mib", 0), peak)
            for k, v in batch["outcomes"].items():
                tally["outcomes"][k] = tally["outcomes"].get(k, 0) + v
            print(f"{target} batch {b + 1}/{options.batches} (seed {options.seed + b}): "
                  f"{batch['calls']} cases, {len(found)} failures, peak {peak} MiB, "
                  f"{time.monotonic() - batch_started:.1f} s", flush=True)
    elapsed = time.monotonic() - started
    print("cases fuzzed: {} ({})".format(
        tally["calls"], ", ".join(f"{tally.get(t, 0)} {t}" for t in TARGETS)))
    print("outcomes: " + ", ".join(f"{k} {v}" for k, v in sorted(tally["outcomes"].items())))
    print(f"failures: {len(failures)}")
    for f in failures[:30]:
        print("  " + f[:600])
    print(f"peak memory of a child: {tally.get('peak_mib', 0)} MiB (budget {MEMORY_BUDGET_MIB})")
    print(f"time: {elapsed:.1f} s")
    if tally["calls"] < wanted:
        print(f"only {tally['calls']} of {wanted} cases were run")
        return 1
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
