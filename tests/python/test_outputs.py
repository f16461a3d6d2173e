"""What a user hands on: mode names, pictures, exports and couplings to beams and fibres.
Labels and couplings are checked against physics computed here (hollow-guide cutoffs,
Gaussian overlaps, Marcuse's Gaussian fit of the fibre mode)."""

from __future__ import annotations

import math

import matplotlib
import numpy as np
import pytest
import scipy.io

import corvane
from corvane import analysis
from corvane.geometry import Rectangle, Structure, strip
from corvane.grid import Grid
from corvane.modes import Mode, ModeContext, format_neff

matplotlib.use("Agg")


@pytest.fixture(scope="module")
def wide_strip():
    """A 0.8 x 0.22 um silicon strip in silica: TE0, TE1, TM0 guided."""
    structure = strip(width=0.8, height=0.22, core=3.48, cladding=1.444)
    return corvane.solve(structure, 1.55, num_modes=3, step=0.05, pml=0.4)


def gaussian_mode(grid, wx, wy, *, x0=0.0, wavelength=1.55):
    """A mode whose only transverse field is Ex = exp(-(x/wx)^2 - (y/wy)^2)."""
    fields = {c: np.zeros(grid.positions(c)[0].shape, complex)
              for c in ("ex", "ey", "ez", "hx", "hy", "hz")}
    X, Y = grid.positions("ex")
    fields["ex"] = np.exp(-((X - x0) / wx) ** 2 - (Y / wy) ** 2) + 0j
    context = ModeContext(grid=grid, structure=None, wavelength=wavelength,
                          pml_mask=np.zeros(grid.shape, bool))
    return Mode(neff=1.5, context=context, **fields)


class TestLabels:
    def test_strip_modes_are_named_by_polarisation_and_order(self, wide_strip):
        assert wide_strip.labels == ["TE0", "TE1", "TM0"]
        # TE1's Ex is odd about the strip's vertical mirror plane, TE0's even.
        assert wide_strip[0].symmetry.startswith("symmetric in x")
        assert wide_strip[1].symmetry.startswith("antisymmetric in x")
        assert "TE1" in wide_strip.table() and "antisymmetric in x" in wide_strip.table()

    def test_hollow_metal_guide_modes_are_te_mn_in_order_of_cutoff(self):
        a, b, wavelength = 22.86e3, 10.16e3, 15.0e3  # um; TE10, TE20, TE01 propagate
        structure = Structure([Rectangle(center=(a / 2, b / 2), size=(a, b), material=1.0)],
                              background=1.0)
        modes = corvane.solve(structure, wavelength, grid=Grid.uniform(x=(0, a), y=(0, b),
                              step=a / 32), pml=0, num_modes=3)
        assert modes.labels == ["TE10", "TE20", "TE01"]
        for mode, (m, n) in zip(modes, [(1, 0), (2, 0), (0, 1)]):
            exact = math.sqrt(1 - (wavelength / 2) ** 2 * ((m / a) ** 2 + (n / b) ** 2))
            assert mode.neff.real == pytest.approx(exact, abs=5e-3)

    def test_labels_survive_save_and_load(self, wide_strip, tmp_path):
        wide_strip.save(tmp_path / "m.npz")
        assert corvane.load(tmp_path / "m.npz").labels == wide_strip.labels


class TestPictures:
    def test_titles_colour_bars_and_parts(self, wide_strip):
        import matplotlib.pyplot as plt

        te0 = wide_strip[0]
        ax = te0.plot()
        title = ax.get_title()
        assert title.startswith("TE0") and "λ = 1.55 µm" in title and "+ -" not in title
        assert "V/µm" in ax.figure.axes[-1].get_ylabel()
        # Ez of a quasi-TE mode sits in the imaginary part: "abs" (the default) shows it.
        ez = te0.plot("ez").collections[0].get_array()
        assert float(np.max(ez)) > 0.1 * np.max(np.abs(te0.ex))
        phase = te0.plot("ez", part="phase").collections[0].get_array()
        assert np.nanmax(np.abs(phase)) <= math.pi
        with pytest.raises(ValueError, match="part must be one of"):
            te0.plot("ey", part="angle")
        plt.close("all")
        assert format_neff(1.5 - 3e-9j, 2e-5) == "1.500000 - 3e-09i +- 2e-05"

    def test_index_profile_marks_the_pml(self, wide_strip):
        import matplotlib.pyplot as plt

        ax = wide_strip.plot_index(grid_lines=True)
        assert any(p.get_hatch() for p in ax.patches)  # the PML
        assert any(t.get_text().strip() == "PML" for t in ax.texts)
        assert ax.figure.axes[-1].get_ylabel() == "Re(n)"
        plt.close("all")


class TestExports:
    def test_hdf5_and_mat_read_back_with_coordinates_and_units(self, wide_strip, tmp_path):
        h5py = pytest.importorskip("h5py")
        wide_strip.export(tmp_path / "m.h5")
        with h5py.File(tmp_path / "m.h5", "r") as f:
            assert f.attrs["wavelength_um"] == 1.55
            assert f["mode1"].attrs["label"] == "TE1"
            ey = f["mode1/ey"]
            np.testing.assert_array_equal(ey[()], wide_strip[1].ey)
            x, y = wide_strip.grid.positions("ey")
            np.testing.assert_allclose(ey.attrs["x_um"], x[:, 0])
            np.testing.assert_allclose(ey.attrs["y_um"], y[0])
            assert ey.attrs["unit"].startswith("V/um")
            assert f["mode1/hx"].attrs["unit"].startswith("A/um")
            np.testing.assert_array_equal(f["neff"][()], wide_strip.neff)
        wide_strip.export(tmp_path / "m.mat")
        mat = scipy.io.loadmat(tmp_path / "m.mat")
        np.testing.assert_array_equal(mat["hz"][2], wide_strip[2].hz)
        np.testing.assert_array_equal(mat["neff"][:, 0], wide_strip.neff)
        assert [str(v[0]) for v in mat["labels"][0]] == wide_strip.labels
        with pytest.raises(ValueError, match="suffix"):
            wide_strip.export(tmp_path / "m.csv")


class TestCoupling:
    def test_gaussian_beam_into_a_gaussian_mode_matches_the_analytic_overlap(self):
        grid = Grid.uniform(x=(-6, 6), y=(-5, 5), step=0.05)
        mode = gaussian_mode(grid, 1.0, 0.7)

        def per_axis(w1, w2):
            return 2 * w1 * w2 / (w1**2 + w2**2)

        for wx, wy in [(1.0, 0.7), (1.5, 1.5), (1.2, 0.6)]:
            eta = analysis.coupling_to_gaussian(mode, (wx, wy))
            assert eta == pytest.approx(per_axis(1.0, wx) * per_axis(0.7, wy), rel=1e-9)
        # A lateral offset d between equal waists w costs exp(-d^2 / w^2).
        shifted = analysis.coupling_to_gaussian(mode, (1.0, 0.7), center=(0.5, 0.0))
        assert shifted == pytest.approx(math.exp(-0.25), rel=1e-9)
        assert analysis.coupling_to_gaussian(mode, 1.0, polarization="y") == 0.0

    def test_fibre_mode_couples_to_its_gaussian_fit(self):
        # Standard single-mode fibre: Marcuse's Gaussian w/a = 0.65 + 1.619 V^-1.5 + 2.879
        # V^-6 fits LP01 to better than 1 % in power.
        a, n1, n2, wavelength = 4.1, 1.4504, 1.4447, 1.55
        v = 2 * math.pi / wavelength * a * math.sqrt(n1**2 - n2**2)
        w = a * (0.65 + 1.619 / v**1.5 + 2.879 / v**6)
        grid = Grid.uniform(x=(-25, 25), y=(-25, 25), step=0.2)
        eta = analysis.coupling_to_fibre(gaussian_mode(grid, w, w), a, n1, n2)
        assert 0.99 < eta < 1.0
        u, _, _ = analysis.fibre_lp01(a, n1, n2, wavelength)
        assert 0 < u < min(v, 2.405)
        with pytest.raises(ValueError, match="core_index must exceed"):
            analysis.coupling_to_fibre(gaussian_mode(grid, w, w), a, 1.44, 1.45)
