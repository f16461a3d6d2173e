"""Accuracy of the sampled materials through full mode solves: exact slab and fibre modes,
their convergence orders with interfaces inside the cells, and the invariance of neff under
mirror images and a quarter turn of the structure."""

import math

import numpy as np
import pytest

import corvane as cv
from corvane.grid import Grid
from corvane.sampling import sample_materials
from modelling_helpers import (fibre_he11_on_quarter_window, fibre_neff, fitted_order,
                               slab_neff, solve_sampled, te_fraction)

WAVELENGTH = 1.55


# -- asymmetric slab: TE and TM against the transcendental dispersion equation ------------

N_CORE, N_SUB, N_COVER, THICKNESS = 2.0, 1.45, 1.0, 0.4


def _slab_errors(fraction):
    """neff errors (TE, TM) on 1-cell-wide grids whose lines cut both interfaces at the
    same fraction of a cell, for steps 20, 10 and 5 nm."""
    slab = cv.Structure([cv.Layer(y=(-math.inf, 0.0), material=N_SUB),
                         cv.Layer(y=(0.0, THICKNESS), material=N_CORE)], background=N_COVER)
    exact = [slab_neff(n_core=N_CORE, n_sub=N_SUB, n_cover=N_COVER, thickness=THICKNESS,
                       wavelength=WAVELENGTH, polarization=p) for p in ("TE", "TM")]
    steps = (0.02, 0.01, 0.005)
    errors = []
    for h in steps:
        y0 = -4.5 - fraction * h
        grid = Grid(x_edges=[0.0, h], y_edges=y0 + h * np.arange(round(7.0 / h) + 1))
        neff, fields = solve_sampled(slab, grid, WAVELENGTH, neff_guess=exact[0], num_modes=2)
        assert te_fraction(fields, 0) > 0.999 and te_fraction(fields, 1) < 1e-3
        errors.append(neff.real - exact)
    return steps, np.array(errors)


@pytest.mark.parametrize("fraction", [0.3, 0.5])
def test_slab_te_and_tm_converge_at_second_order_with_interfaces_inside_cells(fraction):
    steps, errors = _slab_errors(fraction)
    for k, name in enumerate(("TE", "TM")):
        assert abs(errors[-1, k]) < 1.5 * steps[-1] ** 2, name
        assert fitted_order(steps, errors[:, k]) > 1.8, (name, errors[:, k])


# -- step-index fibre: HE11 against the exact vector eigenvalue equation ------------------

N1, N2, RADIUS, FIBRE_WINDOW = 1.9, 1.45, 0.6, 2.4


def _fibre_he11(step, *, tensorial):
    return fibre_he11_on_quarter_window(n_core=N1, n_clad=N2, radius=RADIUS,
                                        wavelength=WAVELENGTH, window=FIBRE_WINDOW,
                                        step=step, tensorial=tensorial, neff_guess=1.736)


@pytest.fixture(scope="module")
def fibre_exact():
    return fibre_neff(n_core=N1, n_clad=N2, radius=RADIUS, wavelength=WAVELENGTH,
                      bracket=(N2 + 1e-9, N1 - 1e-9))


def test_fibre_he11_full_tensor_average_converges_at_second_order(fibre_exact):
    steps = (0.05, 0.04, 0.03)
    errors = [_fibre_he11(h, tensorial=True) - fibre_exact for h in steps]
    assert fitted_order(steps, errors) > 1.7, errors
    assert abs(errors[-1]) < 0.05 * steps[-1] ** 2


def test_fibre_he11_diagonal_average_error_stays_below_second_order_bound(fibre_exact):
    # Dropping the off-diagonal terms keeps the error O(h^2) in size but not smooth in h.
    steps = (0.05, 0.04, 0.03)
    errors = [_fibre_he11(h, tensorial=False) - fibre_exact for h in steps]
    for h, e in zip(steps, errors):
        assert abs(e) < 0.04 * h**2, (h, errors)


def test_fibre_cell_centre_sampling_is_worse_than_the_averaged_one(fibre_exact):
    # Guard: the averaged samples must beat the material at the sample point.
    fibre = cv.Structure([cv.Ellipse(center=(0, 0), radii=(RADIUS, RADIUS), material=N1)],
                         background=N2)
    grid = Grid.auto(fibre, WAVELENGTH, step=0.04, max_step=0.16,
                     x=(0, FIBRE_WINDOW), y=(0, FIBRE_WINDOW))
    errs = {}
    for averaging in ("tensor", "center"):
        neff, fields = solve_sampled(fibre, grid, WAVELENGTH, neff_guess=fibre_exact,
                                     num_modes=1, pmc=(False, True), averaging=averaging)
        errs[averaging] = abs(neff[0].real - fibre_exact)
    assert errs["tensor"] < errs["center"] / 5


# -- invariance: mirror images and a quarter turn give the same neff to O(h^2) -------------

def _ellipse(center, radii):
    return cv.Structure([cv.Ellipse(center=center, radii=radii, material=2.0)], background=1.444)


@pytest.fixture(scope="module")
def invariance_differences():
    """(step, {variant: (delta quasi-TE, delta quasi-TM)}) for two steps. All variants sit
    on one grid, so their interfaces cut the cells at different places."""
    orig = _ellipse((0.0131, 0.0077), (0.55, 0.35))
    variants = {
        "mirror_x": orig.mirrored("x", about=0.0071),
        "mirror_y": orig.mirrored("y", about=0.0193),
        # The ellipse turned by 90 degrees (radii swapped) and moved: TE and TM swap.
        "quarter_turn": _ellipse((0.0090, 0.0102), (0.35, 0.55)),
    }
    frame = cv.Structure([cv.Rectangle(center=(0, 0), size=(1.2, 1.2), material=2.0)],
                         background=1.444)
    out = []
    for h in (0.04, 0.028):
        grid = Grid.auto(frame, WAVELENGTH, step=h, margin=1.4, max_step=4 * h)

        def te_tm(structure):
            neff, fields = solve_sampled(structure, grid, WAVELENGTH, neff_guess=1.8,
                                         num_modes=2)
            order = np.argsort([-te_fraction(fields, m) for m in range(2)])
            return neff.real[order]

        ref = te_tm(orig)
        deltas = {}
        for name, s in variants.items():
            v = te_tm(s)
            deltas[name] = v[::-1] - ref if name == "quarter_turn" else v - ref
        out.append((h, deltas))
    return out


@pytest.mark.parametrize("variant", ["mirror_x", "mirror_y", "quarter_turn"])
def test_mirrored_and_turned_structures_give_the_same_neff_within_h_squared(
        invariance_differences, variant):
    for h, deltas in invariance_differences:
        # Cell-centre sampling gives 0.1 to 1.6 h^2 here; the averaged samples ~0.03 h^2.
        assert np.all(np.abs(deltas[variant]) < 0.08 * h**2), (h, deltas[variant])
