"""Mode analysis on small grids: interpolation, polarisation, effective area, confinement,
loss, overlaps (also across grids) and plotting."""

from __future__ import annotations

import dataclasses
import math

import matplotlib
import numpy as np
import pytest

import corvane
from corvane import analysis
from corvane.geometry import Rectangle, Structure, strip
from corvane.grid import Grid

matplotlib.use("Agg")

WAVELENGTH = 1.55
STRIP = strip(width=0.5, height=0.22, core=3.48, cladding=1.444)
CORE = STRIP.shapes[-1]


def strip_modes(step, **kw):
    grid = Grid.auto(STRIP, WAVELENGTH, step=step, margin=0.5, mirror_x=0.0, mirror_y=0.11)
    return corvane.solve(STRIP, WAVELENGTH, num_modes=2, grid=grid, pml=0.4, **kw)


@pytest.fixture(scope="module")
def modes():
    return strip_modes(0.04)


class TestFields:
    def test_interpolation_reproduces_the_samples(self, modes):
        m = modes[0]
        X, Y = m.grid.positions("ey")
        assert np.allclose(m.field("ey", X, Y), m.ey, atol=1e-12)
        assert m.field("ex", 100.0, 0.0) == 0  # outside the window

    def test_magnitude_is_the_norm_of_the_components(self, modes):
        m = modes[0]
        x, y = np.linspace(-0.3, 0.3, 7), np.full(7, 0.11)
        e = m.field("e", x, y)
        parts = [m.field(c, x, y) for c in ("ex", "ey", "ez")]
        assert np.allclose(e, np.sqrt(sum(np.abs(p) ** 2 for p in parts)))

    def test_unknown_component(self, modes):
        with pytest.raises(ValueError, match="component must be one of"):
            modes[0].component("ew")


class TestQuantities:
    def test_polarisation_of_te0_and_tm0(self, modes):
        te, tm = modes[0], modes[1]
        assert te.te_fraction > 0.9 and te.polarization == "TE"
        assert tm.te_fraction < 0.1 and tm.polarization == "TM"

    def test_effective_area_of_a_uniform_field_is_the_window(self):
        class Uniform:
            grid = Grid.uniform(x=(0, 2), y=(0, 1), step=0.1)
            ex = np.ones((20, 10))
            ey = ez = np.zeros((20, 10))

        # |E|^2 averaged to centres is 1 except the last row in y (the wall beyond is zero).
        area = analysis.effective_area(Uniform)
        assert 1.8 < area <= 2.0

    def test_confinement_by_shape_and_by_bounds_agree(self, modes):
        m = modes[0]
        by_shape = m.confinement(CORE)
        by_bounds = m.confinement((-0.25, 0.0, 0.25, 0.22))
        assert 0.3 < by_shape < 1
        assert abs(by_shape - by_bounds) < 1e-9
        assert abs(m.confinement((-100, -100, 100, 100)) - 1) < 1e-12
        # TE0 is better confined than TM0 in this thin strip.
        assert by_shape > modes[1].confinement(CORE)
        assert 0.05 < m.effective_area < 1.0

    def test_loss_sign_and_scale(self):
        # Im(neff) = 1e-4 at 1.55 um: 20/ln10 * k0 * 1e-4 per um.
        db = analysis.loss_db_per_cm(2.0 + 1e-4j, 1.55)
        assert db == pytest.approx(20 / math.log(10) * 2 * math.pi / 1.55 * 1e-4 * 1e4)
        assert analysis.loss_db_per_cm(2.0 - 1e-4j, 1.55) < 0
        assert analysis.imag_floor(2.0) == analysis.IMAG_FLOOR
        assert analysis.imag_floor(2.0, residual=1e-6) == pytest.approx(2e-6)

    def test_loss_below_the_floor_is_an_upper_bound(self, modes):
        # A guided mode of lossless materials cannot lose power: its Im(neff) is noise.
        guided = dataclasses.replace(modes[0], neff=2.4 + 1e-6j, residual=0.0)
        assert guided.loss_is_upper_bound
        resolved = dataclasses.replace(guided, kind="leaky")
        assert not resolved.loss_is_upper_bound
        assert resolved.loss_db_per_cm == pytest.approx(analysis.loss_db_per_cm(2.4 + 1e-6j,
                                                                                WAVELENGTH))
        for im in (3e-10, -3e-10, -5e-8):
            noise = dataclasses.replace(modes[0], neff=complex(2.4, im), residual=0.0,
                                        kind="leaky")
            assert noise.loss_is_upper_bound and noise.loss_db_per_cm >= 0
            floor = analysis.loss_db_per_cm(complex(0, max(analysis.IMAG_FLOOR, abs(im))),
                                            WAVELENGTH)
            assert noise.loss_floor_db_per_cm == pytest.approx(floor)


COUPLER = Structure([Rectangle(center=(s * 0.35, 0.11), size=(0.4, 0.22), material=3.48)
                     for s in (-1, 1)], background=1.444)


class TestOverlaps:
    def test_modes_of_one_solve_are_orthogonal(self, modes):
        assert abs(modes[0].overlap(modes[0]) - 1) < 1e-9
        assert abs(modes[0].overlap(modes[1])) < 1e-12
        assert abs(modes[0].power_coupling(modes[0]) - 1) < 1e-9
        assert modes[0].power_coupling(modes[1]) < 1e-12

    def test_supermodes_are_orthogonal_and_the_same_with_and_without_symmetry(self):
        # The discrete modes are orthogonal under each staggered component's dual cells;
        # plain cell areas leave the even and odd supermodes overlapping by ~1e-3.
        # (Modes with a share of their energy in the PML are orthogonal in the stretched
        # coordinates only: the margin keeps that share below 1e-3.)
        grid = Grid.auto(COUPLER, WAVELENGTH, step=0.05, margin=0.8, mirror_x=0.0,
                         mirror_y=0.11)
        split = corvane.solve(COUPLER, WAVELENGTH, num_modes=4, grid=grid, pml=0.5)
        whole = corvane.solve(COUPLER, WAVELENGTH, num_modes=4, grid=grid, pml=0.5,
                              symmetry="none")
        assert split.kinds == whole.kinds == ["guided"] * 4
        for ms in (split, whole):
            for i in range(4):
                power = analysis.cross_integral(ms[i], ms[i], ms.grid, conjugate=True)
                assert abs(abs(power) - 1) < 1e-12
                for j in range(i):
                    assert abs(ms[i].overlap(ms[j])) < 1e-12
        for a, b in zip(split, whole):
            assert abs(a.neff - b.neff) < 1e-9
            assert abs(a.overlap(b) - 1) < 1e-10

    def test_a_mode_overlaps_itself_on_another_grid(self, modes):
        fine = strip_modes(0.03)
        for a, b in zip(modes, fine):
            assert abs(abs(a.overlap(b)) - 1) < 0.02
            assert abs(b.power_coupling(a) - 1) < 0.02
        assert abs(modes[0].overlap(fine[1])) < 0.05


    def test_butt_coupling_between_two_different_guides(self, modes):
        wider = strip(width=0.6, height=0.22, core=3.48, cladding=1.444)
        grid = Grid.auto(wider, WAVELENGTH, step=0.05, margin=0.5, mirror_x=0.0, mirror_y=0.11)
        other = corvane.solve(wider, WAVELENGTH, num_modes=1, grid=grid, pml=0.4)[0]
        coupling = modes[0].power_coupling(other)
        assert 0.9 < coupling < 1.0  # similar but not identical TE0 profiles
        assert abs(coupling - other.power_coupling(modes[0])) < 0.02  # reciprocity
        assert modes[1].power_coupling(other) < 1e-3  # TM0 and TE0 do not couple


class TestPlot:
    def test_plot_has_units_and_outline(self, modes, tmp_path):
        import matplotlib.pyplot as plt

        ax = modes[0].plot()
        assert ax.get_xlabel() == "x (µm)" and ax.get_ylabel() == "y (µm)"
        assert len(ax.lines) >= 1  # the core outline
        ax2 = modes[1].plot("ey")
        assert "Ey" in ax2.get_title() or "neff" in ax2.get_title()
        ax.figure.savefig(tmp_path / "mode.png")
        assert (tmp_path / "mode.png").stat().st_size > 1000
        plt.close("all")
