"""The size and memory guard: estimates that match the grids the solve builds, refusals
before anything is allocated (naming step, wavelength and the likely unit mistake), the
max_cells override, and native out-of-memory failures reported the same way."""

import tracemalloc
from pathlib import Path

import pytest

import corvane as cv
from corvane import budget, search
from corvane.cli import main
from corvane.geometry import Rectangle, Structure

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"
NANOMETRE_TOML = """
wavelength = 1550
[materials]
core = "silicon"
clad = "silica"
[structure]
background = "clad"
[[structure.shapes]]
type = "rectangle"
center = [0.0, 110]
size = [500, 220]
material = "core"
[solver]
step = 0.02
pml = 0.5
"""


def test_estimate_counts_the_cells_the_solve_builds():
    s = cv.strip(substrate=cv.materials.silica)
    modes = cv.solve(s, 1.55, step=0.04, pml=0.4)
    e = cv.estimate(s, 1.55, step=0.04, pml=0.4)
    assert e.shape == modes.grid.shape and e.unknowns == 2 * modes.grid.nx * modes.grid.ny
    assert cv.estimate(s, 1.55, grid=cv.Grid.auto(s, 1.55, step=0.04), pml=0.4).shape == e.shape
    assert cv.estimate(s, 1.55, step=0.04, formulation="tensorial").bytes > 3 * e.bytes


def test_a_file_in_nanometres_is_refused_before_anything_is_allocated(tmp_path, capsys):
    path = tmp_path / "nm.toml"
    path.write_text(NANOMETRE_TOML)
    tracemalloc.start()
    try:
        assert main([str(path), "--no-plots"]) != 0
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    assert peak < 20 * 2**20
    err = capsys.readouterr().err
    for words in ("step = 0.02 um", "wavelength = 1550 um", "looks like nanometres",
                  "--max-cells"):
        assert words in err
    with pytest.raises(cv.ProblemTooLarge, match="below 1/2000 of the wavelength"):
        cv.solve(cv.strip(), 1.55, step=1e-4)


def test_max_cells_overrides_the_memory_budget(tmp_path, capsys):
    with pytest.raises(cv.ProblemTooLarge, match="above max_cells=500"):
        cv.solve(cv.strip(), 1.55, step=0.04, max_cells=500)
    assert main([str(EXAMPLES / "strip.toml"), "-o", str(tmp_path), "--max-cells", "500"]) == 2
    assert "above max_cells=500" in capsys.readouterr().err
    with pytest.raises(ValueError, match="max_cells must be a number of cells"):
        cv.solve(cv.strip(), 1.55, max_cells=0)
    wide = cv.estimate(cv.strip(), 1.55, step=0.002)
    with pytest.raises(cv.ProblemTooLarge, match="more than 80% of the 1 MiB of memory available"):
        budget.guard(wide, structure=cv.strip(), wavelength=1.55, step=0.002,
                     available=2**20)
    budget.guard(wide, structure=cv.strip(), wavelength=1.55, step=0.002,
                 max_cells=wide.cells, available=2**20)


def test_native_out_of_memory_becomes_the_guards_message(monkeypatch):
    apart = Structure([Rectangle(center=(x, 0.11), size=(0.5, 0.22), material=3.48)
                       for x in (0.0, 1000.0)], background=1.444)
    assert "shapes far apart" in budget.too_large_message(
        cv.estimate(apart, 1.55), "x", structure=apart, wavelength=1.55, step=0.02)

    def fail(*args, **kwargs):
        raise ValueError("UMFPACK symbolic failed with status -18")

    monkeypatch.setattr(search, "solve_windows", fail)
    with pytest.raises(cv.ProblemTooLarge, match="ran out of memory .UMFPACK.*step = 0.04 um"):
        cv.solve(cv.strip(), 1.55, step=0.04)
