"""One-file storage of modes: save/load round trips keep fields, grid, structure and the
settings that solve again; foreign files are refused."""

from __future__ import annotations

import json
import os
import zipfile

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


def _rewrite(path, out, meta=None, **arrays):
    """A copy of the modes file `path` at `out` with some metadata entries or arrays replaced."""
    with np.load(path) as data:
        contents = {k: data[k] for k in data.files}
    stored = json.loads(str(contents["meta"]))
    stored.update(meta or {})
    contents.update(meta=np.array(json.dumps(stored)), **arrays)
    contents = {k: v for k, v in contents.items() if v is not None}
    np.savez(out, **contents)
    return out


def _bomb(out):
    """An .npz whose one member expands from ~100 kB to 100 MB of zeros."""
    with zipfile.ZipFile(out, "w", zipfile.ZIP_DEFLATED) as archive:
        with archive.open("ex.npy", "w", force_zip64=True) as f:
            np.lib.format.write_array_header_1_0(
                f, {"descr": "<c16", "fortran_order": False, "shape": (100 << 16,)})
            for _ in range(100):
                f.write(bytes(1 << 20))
    return out


class TestHostileFiles:
    def test_save_replaces_the_file_only_once_complete(self, modes, tmp_path, monkeypatch):
        path = tmp_path / "strip.npz"
        modes.save(path)
        before = path.read_bytes()

        def fail_midway(f, **arrays):
            f.write(b"PK\x03\x04 partial")
            raise OSError(28, "No space left on device")

        monkeypatch.setattr(np, "savez_compressed", fail_midway)
        with pytest.raises(OSError, match="No space"):
            modes.save(path)
        assert path.read_bytes() == before and os.listdir(tmp_path) == ["strip.npz"]

    def test_a_name_without_suffix_loads_as_saved(self, modes, tmp_path):
        modes.save(tmp_path / "strip")
        assert os.listdir(tmp_path) == ["strip.npz"]
        assert np.array_equal(corvane.load(tmp_path / "strip").neff, modes.neff)

    @pytest.mark.parametrize("fault, message", [
        (dict(ex=np.zeros((2, 3, 3), complex)), "ex has shape"),
        (dict(neff=np.array([np.nan, 2.0])), "neff must be one finite number per mode"),
        (dict(meta={"wavelength": -1.55}), "not a positive length"),
        (dict(meta={"grid": {"x_edges": [0, 1, 1], "y_edges": [0, 1]}}), "increasing"),
        (dict(meta={"modes": [{"kind": "guided"}] * 2}), "inconsistent contents"),
        (dict(meta={"version": 99}), "newer corvane"),
        (dict(meta={"format": "other"}), "not a corvane modes file"),
        (dict(hz=None), "'hz' is missing"),
        (dict(ey=np.array([{"a": 1}], dtype=object)), "unreadable archive"),
        ("truncated", "unreadable archive"),
        ("not a zip", "unreadable archive"),
        ("bomb", "would expand"),
    ])
    def test_every_fault_of_a_file_is_a_file_format_error(self, modes, tmp_path, fault, message):
        good = tmp_path / "good.npz"
        modes.save(good)
        bad = tmp_path / "bad.npz"
        if fault == "truncated":
            bad.write_bytes(good.read_bytes()[: good.stat().st_size // 2])
        elif fault == "not a zip":
            bad.write_bytes(b"\x00" * 100)
        elif fault == "bomb":
            _bomb(bad)
        else:
            _rewrite(good, bad, **fault)
        with pytest.raises(corvane.FileFormatError, match=message) as err:
            corvane.load(bad)
        assert isinstance(err.value, ValueError) and "bad.npz" in str(err.value)
