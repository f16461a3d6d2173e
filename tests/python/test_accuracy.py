"""Convergence of the automatic grid family and the accuracy= series: orders measured on
nested grids, and extrapolated effective indices whose true error (against the exact slab
and fibre, and deeper series of the strip, the rib and a leaky SOI wire) lies below the
target and below `neff_error`."""

import math
import warnings

import numpy as np
import pytest

import corvane as cv
from corvane import corners, refine
from corvane.geometry import rib, strip
from corvane.grid import Grid
from modelling_helpers import fibre_neff, slab_neff, soi_wire, solve_sampled, te_fraction

WAVELENGTH = 1.55
STRIP = strip(width=0.5, height=0.22, core=3.48, cladding=1.444)
RIB = rib(width=1.0, height=0.4, slab_height=0.2, core=2.0, cladding=1.444, substrate=1.444)
# TE0 and TM0 on the windows a solve of two modes settles on, from series of the same windows
# with cells split up to 32 times, fitted with n + a h^2 + b h^q + c h^3 or h^4, q (a corner's
# order: 1.54 for silicon in silica, 1.7 to 1.9 for silicon nitride) fitted too; the fits
# agree within 1e-7 (bench/bench_accuracy.py prints the series).
REFERENCES = {
    "strip": (STRIP, (2.4496471, 1.7726377)),
    "rib": (RIB, (1.6758861, 1.5869865)),
    "leaky SOI wire": (soi_wire(box=0.5), (2.4496362 + 7.94537e-5j, 1.7750866 + 2.782655e-3j)),
}
REFERENCE_UNCERTAINTY = 5e-7
SLAB = cv.Structure([cv.Layer(y=(0.0, 0.22), material=3.48)], background=1.444)


def _slab_exact():
    return [slab_neff(n_core=3.48, n_sub=1.444, n_cover=1.444, thickness=0.22,
                      wavelength=WAVELENGTH, polarization=p) for p in ("TE", "TM")]


def _slab_series(parts_list):
    """(TE0, TM0) of the silicon slab on the family's grid split `parts` times (one cell
    across, closed walls so that both polarisations live on it; 2 um of cladding, where the
    walls shift TM0 by under 1e-10: at 1 um they shifted it by 6e-6)."""
    coarse = Grid.auto(SLAB, WAVELENGTH, step=0.08, margin=2.0, max_ratio=math.inf)
    coarse = Grid([0.0, 1.0], coarse.y_edges)
    out = []
    for parts in parts_list:
        neff, fields = solve_sampled(SLAB, refine.subdivided(coarse, parts), WAVELENGTH,
                                     neff_guess=3.0, num_modes=2)
        te = 0 if te_fraction(fields, 0) > 0.5 else 1
        out.append((neff[te].real, neff[1 - te].real))
    return np.array(out)


def _order(errors):
    return [math.log(abs(errors[k] / errors[k + 1])) / math.log(2) for k in range(2)]


def test_slab_and_strip_converge_at_second_order_on_the_default_family():
    slab = _slab_series((1, 2, 4)) - _slab_exact()
    for k in range(2):
        assert min(_order(slab[:, k])) > 1.8, slab
    coarse = Grid.auto(STRIP, WAVELENGTH, step=0.08, max_ratio=math.inf)
    strip_errors = []
    for parts in (1, 2, 4):
        modes = cv.solve(STRIP, WAVELENGTH, num_modes=2, grid=refine.subdivided(coarse, parts))
        strip_errors.append(modes.neff.real - list(REFERENCES["strip"][1]))
    strip_errors = np.array(strip_errors)
    # TM0's field is singular at the corners: a little below 2, as measured.
    assert min(_order(strip_errors[:, 0])) > 1.8 and min(_order(strip_errors[:, 1])) > 1.6, \
        strip_errors


@pytest.mark.parametrize("target", [1e-4, 1e-5])
def test_slab_series_meets_the_target_with_an_honest_error(target):
    exact = _slab_exact()
    values = []
    for level, parts in enumerate(refine.SUBDIVISIONS):
        values.append(_slab_series((parts,))[0])
        steps = 1.0 / np.array(refine.SUBDIVISIONS[:level + 1])
        est = [refine.estimate(steps, np.array(values)[:, k], lossy=False) for k in range(2)]
        if max(e.error for e in est) <= target:
            break
    for e, x in zip(est, exact):
        assert abs(e.neff.real - x) < min(target, e.error), (e, x)


def test_default_solve_is_right_to_1e3_with_its_error_and_a_step_means_one_grid():
    default = cv.solve(STRIP, WAVELENGTH, num_modes=2)
    assert [m.polarization for m in default] == ["TE", "TM"]
    for m, ref in zip(default, REFERENCES["strip"][1]):
        assert abs(m.neff.real - ref) < min(1e-3, m.neff_error), (m.neff, m.neff_error)
    assert "+-" in default.table() and default.settings["accuracy"] == 1e-3
    assert cv.solve(STRIP, WAVELENGTH, step=0.08)[0].neff_error is None


@pytest.mark.parametrize("target", [1e-4, 1e-5])
@pytest.mark.parametrize("case", list(REFERENCES))
def test_accuracy_meets_the_target_with_an_honest_error(case, target):
    structure, references = REFERENCES[case]
    with warnings.catch_warnings():
        # The rib's TM0 is near its cut-off along the slab: its window is named.
        warnings.simplefilter("ignore", UserWarning)
        modes = cv.solve(structure, WAVELENGTH, num_modes=2, accuracy=target)
    assert [m.polarization for m in modes][0] == "TE" and modes[1].te_fraction < 0.5
    for m, ref in zip(modes, references):
        # Re and Im of the leaky wire's modes: its Im(neff) is part of the estimate.
        assert abs(m.neff - ref) < min(target, m.neff_error) + REFERENCE_UNCERTAINTY, \
            (m.neff, m.neff_error)


@pytest.mark.parametrize("target", [1e-4, 1e-5])
def test_fibre_accuracy_goes_the_tensorial_way_and_meets_the_target(target):
    fibre = cv.Structure([cv.Ellipse(center=(0, 0), radii=(0.6, 0.6), material=1.9)],
                         background=1.45)
    exact = fibre_neff(n_core=1.9, n_clad=1.45, radius=0.6, wavelength=WAVELENGTH,
                       bracket=(1.45 + 1e-9, 1.9 - 1e-9))
    modes = cv.solve(fibre, WAVELENGTH, accuracy=target)
    assert modes.formulation == "tensorial"
    assert abs(modes[0].neff.real - exact) < min(target, modes[0].neff_error)


def test_corner_orders_come_from_the_wedge_problem():
    # A metal corner's fields go as r^(-1/3); without contrast there is no singularity; the
    # exponents depend on the contrast's square, so a core and its inverse agree. The strip's
    # corners give the order fitted to its series (docs/grid.md).
    assert 2 * corners.singular_exponent(math.pi / 2, 1e12) == pytest.approx(4 / 3, abs=1e-6)
    assert corners.singular_exponent(math.pi / 2, 1.0) == 1.0
    si = (3.48 / 1.444) ** 2
    assert corners.singular_exponent(math.pi / 2, si) == \
        pytest.approx(corners.singular_exponent(math.pi / 2, 1 / si), abs=1e-9)
    assert corners.corner_order(STRIP, WAVELENGTH) == pytest.approx(1.54, abs=0.005)
    assert corners.corner_order(SLAB, WAVELENGTH) is None


def test_two_extrapolations_agreeing_by_chance_do_not_shrink_the_error():
    # The rib's TM0 on grids split 1 to 5 times: the last two extrapolations agree to 2.5e-7
    # while both are 2e-5 off the limit (1.586989, the same series run to 20 splits).
    tm0 = [1.5971137841692666, 1.5891917440667207, 1.587878799294086, 1.5874618128369509,
           1.5872819330518764]
    est = refine.estimate(1.0 / np.arange(1, 6), tm0, lossy=False)
    assert abs(est.neff.real - 1.586989) < est.error


def test_extrapolation_claims_nothing_until_the_orders_agree():
    h = 1.0 / np.array([1, 2, 3, 4])
    smooth = 1.0 + 0.01 * h**2
    est = refine.estimate(h, smooth, lossy=False)
    assert est.neff.real == pytest.approx(1.0, abs=1e-9) and est.order[0] == pytest.approx(2)
    assert refine.estimate(h[:3], smooth[:3], lossy=False).error == math.inf
    ragged = smooth + np.array([0, 0, 3e-4, -3e-4])
    assert refine.estimate(h, ragged, lossy=False).error == math.inf


def test_wavelength_sweep_to_an_accuracy_keeps_one_window_for_every_point(tmp_path):
    sw = cv.sweep(RIB, [1.5, 1.6], num_modes=1, accuracy=1e-3)
    first, last = sw.mode(0, 0), sw.mode(1, 0)
    assert first.grid.bounds == last.grid.bounds  # window and PML of the longest wavelength
    assert all(m.neff_error is not None and m.neff_error <= 1e-3 for m in (first, last))
    assert np.array_equal(sw.neff_error[:, 0], [first.neff_error, last.neff_error])
    sw.save(tmp_path / "sweep.npz")
    assert np.array_equal(cv.load_sweep(tmp_path / "sweep.npz").neff_error, sw.neff_error)
