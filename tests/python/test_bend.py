"""Bends: the transformation of the sampled tensors, the loss figure, and the bent modes
against the straight guide."""

import math
from dataclasses import dataclass

import numpy as np
import pytest

import corvane
from corvane.bend import apply_bend, bend_factors, bend_loss_db_per_90deg
from corvane.grid import Grid


@dataclass(frozen=True)
class Sampled:
    eps: np.ndarray
    mu: np.ndarray
    is_diagonal: bool = True


GRID = Grid(np.array([-1.0, -0.4, 0.0, 0.3, 1.2]), np.array([0.0, 0.5, 1.0]))


def random_tensor(rng, shape):
    return rng.normal(size=(3, 3) + shape) + 1j * rng.normal(size=(3, 3) + shape)


def test_each_tensor_row_is_scaled_at_its_own_field_position():
    rng = np.random.default_rng(3)
    eps, mu = random_tensor(rng, (4, 2)), random_tensor(rng, (4, 2))
    radius = 5.0
    bent = apply_bend(Sampled(eps, mu), GRID, radius)
    for tensor, out, rows in ((eps, bent.eps, ("ex", "ey", "ez")), (mu, bent.mu, ("hx", "hy", "hz"))):
        for r, comp in enumerate(rows):
            x = GRID.positions(comp)[0]
            ratio = (radius + x) / radius
            g = [1.0, 1.0, 1.0 / ratio]
            for c in range(3):
                expected = tensor[r, c] * g[r] * g[c] * ratio
                np.testing.assert_allclose(out[r, c], expected, rtol=1e-14)
    # Diagonal tensors are multiplied by diag(r/R, r/R, R/r); z-transverse couplings keep
    # their value; the input is not changed.
    assert np.allclose(bend_factors(0.3, 5.0)[0, 2], 1.0)
    assert np.allclose(np.diagonal(bend_factors(0.3, 5.0)), [1.06, 1.06, 1 / 1.06])
    assert bent.eps is not eps and np.array_equal(eps, Sampled(eps, mu).eps)


def test_a_diagonal_material_stays_diagonal():
    eps = np.zeros((3, 3, 4, 2), complex)
    for k in range(3):
        eps[k, k] = 2.0 + k
    bent = apply_bend(Sampled(eps, eps.copy()), GRID, 3.0)
    off = ~np.eye(3, dtype=bool)
    assert np.all(bent.eps[off] == 0) and np.all(bent.mu[off] == 0)


def test_radius_is_checked_against_the_window():
    sampled = Sampled(np.ones((3, 3, 4, 2)), np.ones((3, 3, 4, 2)))
    with pytest.raises(ValueError, match="inside the window"):
        apply_bend(sampled, GRID, 0.5)  # the window starts at x = -1
    with pytest.raises(ValueError, match="positive"):
        apply_bend(sampled, GRID, -3.0)
    with pytest.raises(TypeError, match="radius"):
        apply_bend(sampled, GRID, "10")


def test_loss_per_quarter_turn_from_the_power_decay_along_the_arc():
    neff = np.array([2.4 + 1e-5j, 2.4 + 2e-5j])
    loss = bend_loss_db_per_90deg(neff, 1.55, 5.0)
    k0 = 2 * math.pi / 1.55
    power_ratio = math.exp(-2 * k0 * 1e-5 * math.pi * 5.0 / 2)
    assert loss[0] == pytest.approx(-10 * math.log10(power_ratio))
    assert loss[1] == pytest.approx(2 * loss[0])


# --- bent modes through corvane.solve(bend_radius=...) --------------------------------------

from corvane.geometry import strip  # noqa: E402

WAVELENGTH = 1.55
STRIP = strip(width=0.5, height=0.22, core=3.48, cladding=1.444)
# The outer side (high x) reaches past the radiation caustic r = R neff / n_clad (about
# 1.4 um out at R = 2 um) into the PML; the inner side only needs the evanescent tail.
BEND_GRID = Grid.auto(STRIP, WAVELENGTH, step=0.04, x=(-0.9, 3.0), y=(-0.7, 0.9))
RADII = (2.0, 1.8, 1.6)  # um


def solve_bend(radius, **options):
    modes = corvane.solve(STRIP, WAVELENGTH, num_modes=1, grid=BEND_GRID, pml=0.5,
                          bend_radius=radius, neff_guess=2.6, **options)
    return modes[0]


@pytest.fixture(scope="module")
def bends():
    return {radius: solve_bend(radius) for radius in (None, 1e5) + RADII}


def centroid_x(mode):
    x, _ = mode.grid.positions("ex")
    w = np.abs(mode.ex) ** 2 + np.abs(mode.ey) ** 2
    return float(np.sum(x * w) / np.sum(w))


def test_a_very_large_radius_recovers_the_straight_guide(bends):
    straight, gentle = bends[None], bends[1e5]
    assert abs(gentle.neff - straight.neff) < 1e-7
    assert abs(centroid_x(gentle) - centroid_x(straight)) < 1e-4


def test_the_mode_shifts_outward_and_radiates_more_as_the_bend_tightens(bends):
    shifts = [centroid_x(bends[r]) - centroid_x(bends[None]) for r in RADII]
    losses = [bend_loss_db_per_90deg(bends[r].neff, WAVELENGTH, r) for r in RADII]
    assert 0 < shifts[0] < shifts[1] < shifts[2]
    assert 0 < losses[0] < losses[1] < losses[2]
    # Radiation loss falls about exponentially with R: log(loss) about linear in R.
    slopes = np.diff(np.log(losses)) / np.diff(RADII)
    assert slopes[1] / slopes[0] == pytest.approx(1.0, abs=0.6)
    # The straight guide loses only through its PML tail, far below the bends.
    assert bends[None].neff.imag < 0.1 * min(bends[r].neff.imag for r in RADII)


def test_full_tensor_and_diagonal_paths_agree_on_the_bend(bends):
    tensorial = solve_bend(2.0, formulation="tensorial")
    assert abs(tensorial.neff - bends[2.0].neff) < 1e-8


class TestOneCall:
    """Bends solved as a user calls them: no guess and no window."""

    def test_the_fundamental_mode_comes_back_down_to_a_tight_radius(self):
        straight = corvane.solve(STRIP, WAVELENGTH, step=0.04)[0]
        losses = []
        for radius in (3.0, 2.0, 1.5):
            m = corvane.solve(STRIP, WAVELENGTH, step=0.04, bend_radius=radius)[0]
            assert m.polarization == "TE" and m.neff.imag > 0
            assert 0 < m.neff.real - straight.neff.real < 0.03
            losses.append(bend_loss_db_per_90deg(m.neff, WAVELENGTH, radius))
        assert losses[0] < losses[1] < losses[2]

    def test_loss_holds_as_the_window_and_pml_grow(self):
        radius = 1.5
        fitted = corvane.solve(STRIP, WAVELENGTH, step=0.04, bend_radius=radius)
        x0, x1 = fitted.settings["grid"].x_edges[[0, -1]]
        pml = fitted.settings["pml"]
        wider = corvane.solve(STRIP, WAVELENGTH, bend_radius=radius,
                              grid=Grid.auto(STRIP, WAVELENGTH, step=0.04, x=(x0, x1 + 0.8)),
                              pml=corvane.PML(left=pml.left, right=2 * pml.right,
                                              bottom=1.5 * pml.bottom, top=1.5 * pml.top))
        a, b = (bend_loss_db_per_90deg(ms[0].neff, WAVELENGTH, radius) for ms in (fitted, wider))
        assert abs(b / a - 1) < 0.03
