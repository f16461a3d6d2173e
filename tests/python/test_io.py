"""One-file storage of modes: save/load round trips keep fields, grid, structure and the
settings that solve again; foreign files are refused."""

from __future__ import annotations

import numpy as np
import pytest

import corvane
from corvane.geometry import strip
from corvane.grid import Grid

WAVELENGTH = 1.55
STRIP = strip(width=0.5, height=0.22, core=3.48, cladding=1.444)


@pytest.fixture(scope="module")
def modes():
    grid = Grid.auto(STRIP, WAVELENGTH, step=0.05, margin=0.5, mirror_x=0.0, mirror_y=0.11)
    return corvane.solve(STRIP, WAVELENGTH, num_modes=2, grid=grid, pml=0.4)


class TestFiles:
    def test_modeset_round_trip(self, modes, tmp_path):
        path = tmp_path / "strip.npz"
        modes.save(path)
        again = corvane.load(path)
        assert isinstance(again, corvane.ModeSet)
        assert np.array_equal(again.neff, modes.neff)
        for a, b in zip(modes, again):
            for c in ("ex", "ey", "ez", "hx", "hy", "hz"):
                assert np.array_equal(getattr(a, c), getattr(b, c))
            assert (a.kind, a.parity) == (b.kind, b.parity)
        assert again.grid == modes.grid
        assert again.structure.to_dict() == modes.structure.to_dict()
        assert again.wavelength == modes.wavelength
        assert again.settings["pml"] == modes.settings["pml"]
        assert again.settings["num_modes"] == 2

    def test_single_mode_round_trip(self, modes, tmp_path):
        path = tmp_path / "te0.npz"
        modes[0].save(path)
        m = corvane.load(path)
        assert isinstance(m, corvane.Mode)
        assert m.neff == modes[0].neff
        assert m.settings["pml"] == modes[0].settings["pml"]
        assert abs(m.overlap(modes[0]) - 1) < 1e-12

    def test_settings_solve_again(self, modes):
        again = corvane.solve(modes.structure, modes.wavelength, **modes.settings)
        assert np.allclose(again.neff, modes.neff, atol=1e-10)

    def test_not_a_modes_file(self, tmp_path):
        path = tmp_path / "other.npz"
        np.savez(path, meta=np.array('{"format": "other"}'))
        with pytest.raises(ValueError, match="not a corvane modes file"):
            corvane.load(path)
