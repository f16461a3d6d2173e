"""The command line: the example TOML files end to end, the sweep path, and clear messages
for mistakes in a file."""

import importlib
import json
import shutil
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

import corvane
from corvane import cli

sweep_module = importlib.import_module("corvane.sweep")  # corvane.sweep is the function

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"
STRIP = """wavelength = 1.55
[materials]
core = 3.48
clad = 1.444
[structure]
background = "clad"
[[structure.shapes]]
type = "rectangle"
center = [0.0, 0.11]
size = [0.5, 0.22]
material = "core"
[solver]
num_modes = 1
step = 0.1
pml = 0.4
"""


def test_example_file_end_to_end_through_python_dash_m(tmp_path):
    out = tmp_path / "out"
    proc = subprocess.run([sys.executable, "-m", "corvane", str(EXAMPLES / "strip.toml"),
                           "-o", str(out), "--step", "0.05"],
                          capture_output=True, text=True, timeout=300)
    assert proc.returncode == 0, proc.stderr
    assert "Re(neff)" in proc.stdout and "TE" in proc.stdout
    results = json.loads((out / "results.json").read_text())
    assert [m["polarization"] for m in results["modes"]] == ["TE", "TM"]
    te0 = results["modes"][0]["neff"]["re"]
    assert 2.3 < te0 < 2.5  # TE0 of a 0.5 x 0.22 um silicon strip at 1.55 um
    assert (out / "mode_0.png").stat().st_size > 0 and (out / "mode_1.png").exists()
    assert (out / "modes.npz").exists()


def test_geometry_sweep_from_a_file_tracks_the_modes(tmp_path, capsys):
    doc = (EXAMPLES / "strip_width_sweep.toml").read_text()
    doc = doc.replace("num = 7", "num = 3").replace("step = 0.04", "step = 0.06")
    path = tmp_path / "sweep.toml"
    path.write_text(doc)
    results = cli.run(path, output=tmp_path / "out", plots=False, progress=False)
    assert results["parameter"] == "structure.shapes.0.size.0"
    assert results["values"] == [0.6, 0.75, 0.9]
    neff = np.array(results["neff"]["re"])
    assert neff.shape == (3, 3) and np.all(np.diff(neff, axis=0) > 0)
    saved = corvane.load_sweep(tmp_path / "out" / "sweep.npz")
    np.testing.assert_allclose(saved.neff.real, neff)
    assert "structure.shapes.0.size.0" in capsys.readouterr().out


@pytest.mark.parametrize("text, message", [
    ("wavelength = 1.55\n[structure]\nbackground = 'unobtainium'\n"
     "[[structure.shapes]]\ntype = 'rectangle'\ncenter = [0, 0]\nsize = [1, 1]\nmaterial = 3.0\n",
     "unknown material 'unobtainium'"),
    ("wavelength = 1.55\n[structure]\n[[structure.shapes]]\ntype = 'hexagon'\nmaterial = 3.0\n",
     "type must be rectangle, polygon, ellipse or layer"),
    ("wavelength = 1.55\n[structure]\nbuilder = 'strip'\n[solver]\nnum_mode = 2\n",
     "unknown key 'num_mode' in [solver]; did you mean 'num_modes'?"),
    ("[structure]\nbuilder = 'strip'\n", "needs wavelength = <micrometres>"),
    ("wavelength = 1.55\n[structure]\nbuilder = 'strip'\n[sweep]\nparameter = 'structure.depth'\n"
     "values = [1, 2]\n", "does not name an entry"),
    ("wavelength = 1.55\n[structure\n", "not valid TOML"),
    (STRIP.replace('background = "clad"', 'bakground = "clad"'),
     "unknown key 'bakground' in [structure]; did you mean 'background'?"),
    (STRIP + "[output]\ndirectroy = 'x'\n", "unknown key 'directroy' in [output]; did you mean"),
    (STRIP.replace("clad = 1.444", "clad = {indx = 1.444}"),
     "unknown key 'indx' in materials.clad; did you mean 'index'?"),
    (STRIP.replace("size = [0.5, 0.22]", "size = [0.5, 0.22]\nrotation = 3"),
     "unknown key 'rotation' in structure.shapes.0 (rectangle)"),
    (STRIP.replace("size = [0.5, 0.22]", "size = [-0.5, 0.22]"), "structure.shapes.0: "),
    (STRIP.replace("num_modes = 1", "num_modes = 1.5"), "solver.num_modes must be a whole number"),
    (STRIP.replace("num_modes = 1", 'num_modes = "2"'), "solver.num_modes must be a whole number"),
    (STRIP.replace("num_modes = 1", "num_modes = true"), "solver.num_modes must be a whole number"),
    (STRIP + "[sweep]\nvalues = [1.5]\nnum = 2\nstart = 1\nstop = 2\n",
     "values = [...] or start, stop and num, not both"),
    (STRIP + "[sweep]\nstart = 1.5\nstop = 1.6\nnum = 2.0\n", "sweep.num must be a whole number"),
    (STRIP + "[sweep]\nparameter = 'solver.step'\nvalues = [0.02, 0.04]\n",
     "'solver.step' cannot be swept"),
    (STRIP.replace("pml = 0.4", "pml = [1, 2]"), "solver.pml as a list is [left, right, bottom, top]"),
    (STRIP.replace("pml = 0.4", "pml = {left = 1, rigth = 1}"), "did you mean 'right'?"),
])
def test_mistakes_in_a_file_give_one_line_naming_the_key(tmp_path, capsys, text, message):
    path = tmp_path / "bad.toml"
    path.write_text(text)
    assert cli.main([str(path), "-o", str(tmp_path / "out")]) == 2
    err = capsys.readouterr().err
    assert message in err and err.startswith("corvane: ")


def test_help_shows_an_example_file():
    proc = subprocess.run([sys.executable, "-m", "corvane", "--help"], capture_output=True,
                          text=True, timeout=60)
    assert proc.returncode == 0
    assert "[[structure.shapes]]" in proc.stdout and "micrometres" in proc.stdout
    if shutil.which("corvane"):
        assert subprocess.run(["corvane", "--help"], capture_output=True).returncode == 0


@pytest.mark.parametrize("pml", ["{left = 0.3, right = 0.4, bottom = 0.5, top = 0.2}",
                                 "[0.3, 0.4, 0.5, 0.2]"])
def test_pml_per_side_from_a_file(tmp_path, pml):
    path = tmp_path / "strip.toml"
    path.write_text(STRIP.replace("pml = 0.4", f"pml = {pml}"))
    cli.run(path, plots=False)
    modes = corvane.load(tmp_path / "corvane_out" / "modes.npz")
    assert modes.settings["pml"] == corvane.PML(left=0.3, right=0.4, bottom=0.5, top=0.2)


def test_an_accuracy_from_a_file_reports_each_neff_error(tmp_path):
    path = tmp_path / "strip.toml"
    path.write_text(STRIP.replace("step = 0.1", "accuracy = 1e-3"))
    results = cli.run(path, plots=False)
    assert 0 < results["modes"][0]["neff_error"] <= 1e-3


def test_a_second_run_refuses_a_used_folder_and_overwrite_clears_the_old_results(tmp_path, capsys):
    path = tmp_path / "strip.toml"
    path.write_text(STRIP)
    out = tmp_path / "corvane_out"
    assert cli.main([str(path), "--no-plots"]) == 0
    (out / "mode_1.png").write_bytes(b"from an earlier run with two modes")
    (out / "notes.txt").write_text("the user's own")
    assert cli.main([str(path), "--no-plots"]) == 2
    assert "is not empty; pass --overwrite" in capsys.readouterr().err
    assert cli.main([str(path), "--no-plots", "--overwrite"]) == 0
    assert sorted(p.name for p in out.iterdir()) == ["modes.npz", "notes.txt", "results.json"]
    # The file's folder confines only the file's own output setting.
    path.write_text(STRIP + "[output]\ndirectory = '../../escaped_out'\n")
    assert cli.main([str(path), "--no-plots"]) == 2
    assert "'../../escaped_out' is not below the file's folder" in capsys.readouterr().err
    assert cli.main([str(path), "--no-plots", "-o", str(tmp_path / "chosen")]) == 0


@pytest.mark.parametrize("fault, status, message", [
    (KeyboardInterrupt, 130, "interrupted; the points solved before are written"),
    (lambda: ValueError("width must be positive"), 1,
     "1 of 3 sweep points failed:\n  structure.shapes.0.size.0 = 0.6: ValueError: width must be positive"),
])
def test_a_sweep_exits_non_zero_when_a_point_fails_or_is_interrupted(tmp_path, capsys, monkeypatch,
                                                                       fault, status, message):
    solve_point = sweep_module._solve_point

    def failing_at_the_second_point(point):
        if point.value == 0.6:
            raise fault()  # a new exception: a raised one keeps the frames of its raise
        return solve_point(point)

    monkeypatch.setattr(sweep_module, "_solve_point", failing_at_the_second_point)
    path = tmp_path / "sweep.toml"
    path.write_text(STRIP + "[sweep]\nparameter = 'structure.shapes.0.size.0'\nvalues = [0.5, 0.6, 0.7]\n")
    assert cli.main([str(path), "--no-plots"]) == status
    assert message in capsys.readouterr().err
    assert (tmp_path / "corvane_out" / "sweep.npz").exists()


@pytest.mark.parametrize("fault, message", [
    (lambda: OSError(28, "No space left on device"),
     "corvane: OSError: [Errno 28] No space left on device\n"),
    (MemoryError, "corvane: out of memory\n"),
    (lambda: RecursionError("maximum recursion depth exceeded"),
     "corvane: input nested too deeply: maximum recursion depth exceeded\n"),
])
def test_system_failures_are_one_line_and_non_zero(tmp_path, capsys, monkeypatch, fault, message):
    def fail(*args, **kwargs):
        raise fault()

    monkeypatch.setattr(corvane, "solve", fail)
    path = tmp_path / "strip.toml"
    path.write_text(STRIP)
    assert cli.main([str(path), "--no-plots"]) == 1
    assert capsys.readouterr().err == message
