"""The command line: the example TOML files end to end, the sweep path, and clear messages
for mistakes in a file."""

import json
import shutil
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

import corvane
from corvane import cli

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"


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
     "unknown keys in [solver]: ['num_mode']"),
    ("[structure]\nbuilder = 'strip'\n", "needs wavelength = <micrometres>"),
    ("wavelength = 1.55\n[structure]\nbuilder = 'strip'\n[sweep]\nparameter = 'structure.depth'\n"
     "values = [1, 2]\n", "does not name an entry"),
    ("wavelength = 1.55\n[structure\n", "not valid TOML"),
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
