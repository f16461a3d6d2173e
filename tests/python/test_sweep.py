"""Sweeps: assignment, overlaps across grids, tracking through crossings, failures,
cancellation, saving; and a real TE1/TM0 crossing of a silicon strip."""

import itertools
import logging
import math
from dataclasses import dataclass

import matplotlib
import numpy as np
import pytest

import corvane
import importlib

sweep_module = importlib.import_module("corvane.sweep")  # the module; corvane.sweep is the function
from corvane.grid import Grid
from corvane.sweep import Sweep, _extrapolate, _Predictor
from corvane.tracking import assign_max, interpolate_fields, normalised_overlaps


# --- assignment ----------------------------------------------------------------------------

def brute_force_best(scores):
    rows, cols = scores.shape
    best = -np.inf
    if rows <= cols:
        for perm in itertools.permutations(range(cols), rows):
            best = max(best, sum(scores[r, c] for r, c in enumerate(perm)))
    else:
        for perm in itertools.permutations(range(rows), cols):
            best = max(best, sum(scores[r, c] for c, r in enumerate(perm)))
    return best


def test_assignment_is_optimal_one_to_one_on_random_rectangular_scores():
    rng = np.random.default_rng(7)
    for _ in range(200):
        rows, cols = rng.integers(1, 6, size=2)
        scores = rng.random((rows, cols))
        pairs = assign_max(scores)
        assert len(pairs) == min(rows, cols)
        assert len({r for r, _ in pairs}) == len({c for _, c in pairs}) == len(pairs)
        assert sum(scores[r, c] for r, c in pairs) == pytest.approx(brute_force_best(scores))


def test_assignment_prefers_the_total_over_the_greedy_choice():
    # Greedy takes (0, 0) = 0.9 and is left with 0.1; the optimum pairs 0.8 + 0.85.
    assert assign_max([[0.9, 0.8], [0.85, 0.1]]) == [(0, 1), (1, 0)]


def test_assignment_of_nan_and_empty_scores():
    assert assign_max(np.zeros((0, 3))) == []
    assert assign_max([[np.nan, 0.5]]) == [(0, 1)]


# --- overlaps ------------------------------------------------------------------------------

def gaussian_mode(grid, *, x0=0.0, width=0.4, odd=False, tm=False):
    """Transverse fields of a plane-wave-like mode: E along x (or y for tm), H along y (x)
    with E x H along +z; even or odd in x."""
    out = {}
    for c in ("ex", "ey", "hx", "hy"):
        X, Y = grid.positions(c)
        g = np.exp(-((X - x0) ** 2 + Y**2) / width**2) * ((X - x0) if odd else 1.0)
        out[c] = np.zeros(X.shape, complex)
        if (c in ("ex", "hy")) != tm:
            out[c] = g * (1.0 if c in ("ex", "hy") else (1.0 if c == "ey" else -1.0))
    return out


def test_overlap_of_a_mode_with_itself_is_one_and_with_an_orthogonal_mode_zero():
    grid = Grid.uniform(x=(-1, 1), y=(-1, 1), step=0.05)
    even, odd, tm = gaussian_mode(grid), gaussian_mode(grid, odd=True), gaussian_mode(grid, tm=True)
    scores = normalised_overlaps([even, odd, tm], [even, odd, tm], grid)
    np.testing.assert_allclose(scores, np.eye(3), atol=1e-12)


def test_overlap_across_different_grids_interpolates_the_earlier_fields():
    fine = Grid.uniform(x=(-1, 1), y=(-1, 1), step=0.02)
    coarse = Grid(np.concatenate([np.linspace(-1.2, 0, 25), np.linspace(0, 1.2, 16)[1:]]),
                  np.linspace(-1.1, 1.1, 41))
    same = normalised_overlaps([gaussian_mode(fine)], [gaussian_mode(coarse)], coarse, fine)
    shifted = normalised_overlaps([gaussian_mode(fine)], [gaussian_mode(coarse, x0=0.4)], coarse, fine)
    assert same[0, 0] == pytest.approx(1.0, abs=2e-3)
    # Two Gaussians of width w a distance d apart overlap as exp(-d^2 / (2 w^2)).
    assert shifted[0, 0] == pytest.approx(math.exp(-0.4**2 / (2 * 0.4**2)), abs=5e-3)


def test_interpolation_is_exact_for_linear_fields_and_zero_outside():
    source = Grid(np.linspace(0, 1, 11), np.linspace(0, 1, 6))
    target = Grid(np.linspace(-0.5, 1.5, 9), np.linspace(0.1, 0.9, 5))
    X, Y = source.positions("hy")
    moved = interpolate_fields({"hy": 2 * X + 3 * Y}, source, target, components=("hy",))["hy"]
    Xt, Yt = target.positions("hy")
    xs, ys = source.positions("hy")
    inside = (Xt >= xs.min()) & (Xt <= xs.max()) & (Yt >= ys.min()) & (Yt <= ys.max())
    np.testing.assert_allclose(moved[inside], (2 * Xt + 3 * Yt)[inside], atol=1e-12)
    assert np.all(moved[Xt < 0] == 0) and np.all(moved[Xt > 1] == 0)


# --- tracking on synthetic modes ---------------------------------------------------------

@dataclass(frozen=True, eq=False)
class FakeMode:
    neff: complex
    ex: np.ndarray
    ey: np.ndarray
    hx: np.ndarray
    hy: np.ndarray
    label: str = ""


@dataclass(frozen=True, eq=False)
class FakeModeSet:
    modes: tuple
    grid: object

    def __iter__(self):
        return iter(self.modes)

    def __len__(self):
        return len(self.modes)

    def __getitem__(self, k):
        return self.modes[k]


GRID = Grid.uniform(x=(-1, 1), y=(-1, 1), step=0.05)


def crossing_solver(t, tm_from=-1.0):
    """Three modes whose neff order changes with t, returned in descending neff like the
    solver does: an even mode (always first), an odd mode falling and a TM mode rising,
    which cross at t = 0.5. Their shapes drift with t. The TM mode exists from t = tm_from
    on (it appears partway through a sweep)."""
    modes = [
        (3.0 - 0.1 * t, gaussian_mode(GRID, width=0.4 + 0.1 * t), "TE0"),
        (2.5 - 0.2 * t, gaussian_mode(GRID, odd=True, width=0.5 + 0.1 * t), "TE1"),
        (2.3 + 0.2 * t, gaussian_mode(GRID, tm=True, width=0.45 - 0.05 * t), "TM0"),
    ][:3 if t >= tm_from else 2]
    modes.sort(key=lambda m: -m[0])
    return FakeModeSet(tuple(FakeMode(neff=complex(n), label=lab, **f) for n, f, lab in modes),
                       GRID)


@pytest.fixture
def fake_solver(monkeypatch):
    calls = []

    def solve_point(point):
        calls.append(point)
        value = point.value
        if callable(point.build):
            point.build(value)  # lets a test's build raise
        return crossing_solver(value), None, 0.0, -1

    monkeypatch.setattr(sweep_module, "_solve_point", solve_point)
    return calls


def test_tracking_keeps_identity_through_a_crossing_where_neff_order_swaps(fake_solver):
    ts = np.linspace(0, 1, 11)
    result = corvane.sweep(lambda t: None, ts, wavelength=1.55, num_modes=3)
    expected = np.stack([3.0 - 0.1 * ts, 2.5 - 0.2 * ts, 2.3 + 0.2 * ts], axis=1)
    np.testing.assert_allclose(result.neff.real, expected)
    assert np.all(result.confidence > 0.9)
    # Ordered by neff the second column would jump from the odd to the TM mode at t = 0.5.
    assert result.mode_index[0].tolist() == [0, 1, 2]
    assert result.mode_index[-1].tolist() == [0, 2, 1]


def test_a_mode_appearing_partway_gets_its_own_track_and_a_missing_one_is_reported(
        monkeypatch, caplog):
    monkeypatch.setattr(sweep_module, "_solve_point",
                        lambda point: (crossing_solver(point.value, tm_from=0.3), None, 0.0, -1))
    ts = np.linspace(0, 1, 11)
    with caplog.at_level(logging.WARNING, logger="corvane"):
        result = corvane.sweep(lambda t: None, ts, wavelength=1.55, num_modes=4)
    assert result.labels == ("TE0", "TE1", "TM0", "")
    tm = result.neff[:, 2].real
    assert np.all(np.isnan(tm[ts < 0.3]))
    np.testing.assert_allclose(tm[ts >= 0.3], 2.3 + 0.2 * ts[ts >= 0.3])  # through the crossing
    np.testing.assert_allclose(result.neff[:, 1].real, 2.5 - 0.2 * ts)
    assert caplog.text.count("never found") == 1 and "mode 3 never found" in caplog.text
    matplotlib.use("Agg")
    ax = result.plot()
    assert [line.get_label() for line in ax.lines] == ["TE0", "TE1", "TM0"]
    matplotlib.pyplot.close("all")


def test_a_failed_point_is_reported_with_value_and_error_and_the_rest_is_tracked(fake_solver, caplog):
    def build(t):
        if abs(t - 0.4) < 1e-9:
            raise ValueError("core width must be positive")

    with caplog.at_level(logging.WARNING, logger="corvane"):
        result = corvane.sweep(build, [0.0, 0.2, 0.4, 0.6], wavelength=1.55, num_modes=2)
    assert result.values.tolist() == [0.0, 0.2, 0.6]
    assert len(result.failed) == 1
    assert result.failed[0].value == 0.4 and result.failed[0].index == 2
    assert "ValueError: core width must be positive" in result.failed[0].error
    assert "0.4" in caplog.text


def test_ctrl_c_returns_the_points_already_solved(monkeypatch):
    def solve_point(point):
        if point.value >= 0.3:
            raise KeyboardInterrupt
        return crossing_solver(point.value), None, 0.0, -1

    monkeypatch.setattr(sweep_module, "_solve_point", solve_point)
    result = corvane.sweep(lambda t: None, [0.0, 0.1, 0.2, 0.3, 0.4], wavelength=1.55)
    assert result.cancelled
    assert result.values.tolist() == [0.0, 0.1, 0.2]


def test_sweep_saves_and_loads_its_arrays(fake_solver, tmp_path):
    result = corvane.sweep(lambda t: None, [0.0, 0.5, 1.0], wavelength=1.3, num_modes=2,
                           parameter="width")
    path = tmp_path / "s.npz"
    result.save(path)
    back = corvane.load_sweep(path)
    assert back.parameter == "width" and not back.cancelled
    for name in ("values", "wavelength", "neff", "confidence", "mode_index"):
        np.testing.assert_array_equal(getattr(back, name), getattr(result, name))
    # The TM mode rises into the two highest at t = 1 and gets a track of its own.
    assert back.loss_db_per_cm.shape == (3, 3)


def test_plot_draws_one_line_per_tracked_mode_with_units(fake_solver):
    import matplotlib

    matplotlib.use("Agg")
    result = corvane.sweep(lambda t: None, [0.0, 0.5, 1.0], wavelength=1.55, num_modes=3,
                           parameter="width")
    ax = result.plot(label="core width (µm)")
    assert len(ax.lines) == 3 and ax.get_xlabel() == "core width (µm)"
    assert ax.get_ylabel() == "Re(neff)"
    assert result.plot("loss").get_ylabel() == "loss (dB/cm)"
    with pytest.raises(ValueError, match="group_index=True"):
        result.plot("ng")


def test_sweep_rejects_bad_arguments_naming_them():
    with pytest.raises(TypeError, match="wavelength="):
        corvane.sweep(lambda w: None, [0.5])
    with pytest.raises(ValueError, match="values must be a non-empty"):
        corvane.sweep(lambda w: None, [], wavelength=1.55)
    with pytest.raises(TypeError, match="executor must be"):
        corvane.sweep(lambda w: None, [0.5], wavelength=1.55, executor=object())
    with pytest.raises(TypeError, match="'structure'"):
        corvane.sweep(lambda w: None, [0.5], wavelength=1.55, structure=None)


# --- prediction for the next point -------------------------------------------------------

def test_extrapolation_is_exact_for_quadratics_and_uses_the_last_three_points():
    f = lambda x: 2 - 0.3 * x + 0.7 * x**2  # noqa: E731
    xs = [0.0, 0.1, 0.25, 0.3]
    assert _extrapolate(xs, [f(x) for x in xs], 0.4) == pytest.approx(f(0.4))
    assert _extrapolate([1.0, 2.0], [3.0, 5.0], 3.0) == pytest.approx(7.0)
    assert _extrapolate([1.0], [3.0], 3.0) == 3.0


def test_predicted_shift_sits_just_above_the_highest_tracked_mode():
    predictor = _Predictor(2)
    for t in (0.0, 0.1, 0.2):
        ms = crossing_solver(t)
        predictor.record(t, ms, [0, 1])
    guess = predictor.neff_guess(0.3)
    top = 3.0 - 0.1 * 0.3
    assert top < guess < top + 0.05


# --- a real crossing -----------------------------------------------------------------------

def test_te1_keeps_its_identity_where_it_crosses_tm0_in_a_width_sweep(tmp_path):
    """In a silicon strip in silica the TE1 mode rises through TM0 as the core widens (a
    true crossing: the two have opposite parity in x). Tracked by overlap, the TM0 column
    stays TM and the TE1 column overtakes it, although the order by neff swaps."""
    from corvane.geometry import strip

    widths = np.linspace(0.6, 0.9, 4)  # TE1 is guided from about 0.55 um on
    result = corvane.sweep(lambda w: strip(width=w, height=0.22, core=3.48, cladding=1.444),
                           widths, wavelength=1.55, num_modes=3, step=0.05, pml=0.4)
    assert not result.failed and len(result) == 4
    tm0, te1 = 1, 2
    assert [result.mode(p, tm0).polarization for p in range(4)] == ["TM"] * 4
    assert [result.mode(p, te1).polarization for p in range(4)] == ["TE"] * 4
    assert result.neff[0, te1].real < result.neff[0, tm0].real
    assert result.neff[-1, te1].real > result.neff[-1, tm0].real
    assert np.all(np.diff(result.neff.real, axis=0) > 0)  # every mode rises with the width
    # By neff order the second column would switch from TM0 to TE1 after the crossing.
    assert result.mode_index[0, tm0] == 1 and result.mode_index[-1, tm0] == 2
    assert np.all(result.confidence > 0.9)
    assert result.labels == ("TE0", "TM0", "TE1")
    # The fields of every tracked point survive a save and load.
    result.save(tmp_path / "s.npz")
    back = corvane.load_sweep(tmp_path / "s.npz")
    assert back.labels == result.labels
    again, before = back.mode(3, te1), result.mode(3, te1)
    assert again.label == "TE1" and again.neff == before.neff
    np.testing.assert_array_equal(again.ey, before.ey)
    assert again.overlap(before) == pytest.approx(1.0, abs=1e-12)


def test_reuse_gives_the_cold_results_with_fewer_operator_applications():
    from corvane.geometry import strip

    structure = strip(width=0.5, height=0.22, core=3.48, cladding=1.444)
    wavelengths = np.linspace(1.52, 1.58, 4)
    cold = corvane.sweep(structure, wavelengths, num_modes=2, step=0.06, pml=0.4, reuse=False)
    warm = corvane.sweep(structure, wavelengths, num_modes=2, step=0.06, pml=0.4, reuse=True)
    np.testing.assert_allclose(warm.neff, cold.neff, rtol=0, atol=1e-9)
    assert warm.operator_applications[0] == cold.operator_applications[0]  # both cold
    assert np.all(warm.operator_applications[2:] < cold.operator_applications[2:] / 2)


# --- hostile sweeps ------------------------------------------------------------------------

def test_revisited_values_lose_no_point():
    from corvane.geometry import strip

    widths = [0.5, 0.5, 0.6, 0.5, 0.6]  # repeated and back-and-forth
    result = corvane.sweep(lambda w: strip(width=w, height=0.22, core=3.48, cladding=1.444),
                           widths, wavelength=1.55, step=0.08, pml=0.4)
    assert not result.failed and result.values.tolist() == widths
    n = result.neff[:, 0]
    np.testing.assert_allclose(n[[1, 3]], n[0], atol=1e-9)
    np.testing.assert_allclose(n[4], n[2], atol=1e-9)
    assert _extrapolate([0.5, 0.5, 0.6, 0.5], [1.0, 1.0, 2.0, 1.0], 0.7) == pytest.approx(3.0)


def test_reuse_keeps_only_the_last_grids():
    warm = sweep_module._WarmStart(1, reuse=True)
    result = type("Result", (), {"neffs": np.array([2.0]), "operator_applications": 1})()
    for k in range(40):  # a geometry sweep: a new grid (key) at every point
        warm.options(0.01 * k, {}, first=k == 0)
        warm.before((False, False, 10 + k, 10, False))
        warm.after((False, False, 10 + k, 10, False), result)
    kept = warm.KEPT_SUB_PROBLEMS
    assert len(warm._workspaces) == kept and len(warm._history) == kept
    assert (False, False, 49, 10, False) in warm._workspaces


def test_a_wavelength_at_a_sellmeier_pole_fails_alone_naming_the_material():
    from corvane.geometry import strip
    from corvane.materials import Material

    core = Material.sellmeier(B=(1.0,), C=(1.6**2,), name="resonant")
    structure = strip(width=0.5, height=0.22, core=core, cladding=1.444)
    with pytest.raises(ValueError, match="index of 'resonant' cannot be evaluated at "
                                         "wavelength 1.6 um: the Sellmeier formula has a pole"):
        core.index(1.6)
    result = corvane.sweep(structure, [1.5, 1.55, 1.6], step=0.08, pml=0.4)
    assert result.values.tolist() == [1.5, 1.55]
    assert [f.value for f in result.failed] == [1.6] and "pole" in result.failed[0].error


@pytest.mark.parametrize("fault, message", [
    (lambda c: dict(neff=np.ones((2, 2))), "neff has shape"),
    (lambda c: dict(wavelength=-c["wavelength"]), "positive length"),
    (lambda c: dict(mode_index=-np.ones_like(c["mode_index"])), "disagree"),
    (lambda c: dict(confidence=None), "'confidence' is missing"),
])
def test_a_faulty_sweep_file_is_a_file_format_error(fake_solver, tmp_path, fault, message):
    result = corvane.sweep(lambda t: None, [0.0, 0.5, 1.0], wavelength=1.3, num_modes=2)
    result.save(tmp_path / "good")
    with np.load(tmp_path / "good.npz") as data:
        contents = {k: data[k] for k in data.files}
    contents.update(fault(contents))
    np.savez(tmp_path / "bad.npz", **{k: v for k, v in contents.items() if v is not None})
    with pytest.raises(corvane.FileFormatError, match=message):
        corvane.load_sweep(tmp_path / "bad.npz")
    assert corvane.load_sweep(tmp_path / "good").values.tolist() == [0.0, 0.5, 1.0]
