"""corvane.engine against corvane._core and against closed-form results, and its options:
determinism, start vectors, symbolic reuse, the caller's PML stretch, argument errors."""

from __future__ import annotations

import math

import numpy as np
import pytest

from corvane import _core, engine
from engine_problems import as_array, core_arguments, diagonal_tensor, strip

CORE = {"diagonal": _core.solve_diagonal_sparse_py, "tensorial": _core.solve_tensorial_sparse_py}
ENGINE = {"diagonal": engine.solve_diagonal, "tensorial": engine.solve_tensorial}


def core_solve(solver, kw):
    neffs, fields, residuals, powers, self_overlaps, cross, backend, rows, nnz = CORE[solver](
        **core_arguments(kw))
    return dict(neffs=as_array(neffs), fields=np.stack([as_array(c) for c in fields]),
                mode_powers=np.asarray(powers), self_overlaps=as_array(self_overlaps),
                max_cross_overlap=cross, operator_rows=rows, operator_nnz=nnz)


def aligned(a, b):
    """b times the phase that best matches it to a (fields are defined up to a phase)."""
    s = np.vdot(b.ravel(), a.ravel())
    return b * (s / abs(s))


def relative(a, b):
    return np.linalg.norm(a - b) / np.linalg.norm(a)


class TestAgainstCore:
    @pytest.mark.parametrize("solver, pmc_x", [("diagonal", False), ("diagonal", True), ("tensorial", False)])
    def test_same_modes_powers_and_overlaps(self, solver, pmc_x):
        kw = strip(28 if solver == "tensorial" else 40, num_modes=3, half=pmc_x)
        kw["pmc_x"] = pmc_x
        ref = core_solve(solver, kw)
        got = ENGINE[solver](**kw)
        np.testing.assert_allclose(got.neffs, ref["neffs"], rtol=0, atol=1e-10)
        assert got.fields.shape == ref["fields"].shape == (6, 3, kw["nx"] * kw["ny"])
        for m in range(3):
            assert relative(ref["fields"][:, m], aligned(ref["fields"][:, m], got.fields[:, m])) < 1e-7
        np.testing.assert_allclose(got.mode_powers, ref["mode_powers"], rtol=1e-8)
        np.testing.assert_allclose(abs(got.self_overlaps), abs(ref["self_overlaps"]), rtol=1e-8)
        assert got.max_cross_overlap < 1e-8 and ref["max_cross_overlap"] < 1e-8
        assert (got.operator_rows, got.operator_nnz) == (ref["operator_rows"], ref["operator_nnz"])
        assert got.operator_applications > 0
        assert set(got.timings) >= {"assembly", "symbolic", "numeric", "iteration", "fields"}

    def test_exact_route_options_reproduce_core_neffs(self):
        # AMD, refinement in every solve, ARPACK, the module's Krylov dimension and start.
        kw = strip(30, num_modes=2)
        n = 2 * kw["nx"] * kw["ny"]
        j = np.arange(1, n + 1)
        kw["initial_vector"] = np.sin(0.37 * j) + 1j * np.cos(0.53 * j)
        kw["krylov_dim"] = 32
        ref = core_solve("diagonal", kw)
        got = engine.solve_diagonal(**kw, ordering="amd", refine=True, iteration="arpack",
                                    wide_indices=False)
        np.testing.assert_array_equal(got.neffs, ref["neffs"])
        np.testing.assert_array_equal(got.fields, ref["fields"])


class TestPhysics:
    def test_empty_metal_box_matches_closed_form_and_converges_at_second_order(self):
        """Electric walls round a 2 x 1.3 um vacuum box: neff^2 = 1 - (m pi/(k0 a))^2 - (n pi/(k0 b))^2."""
        a, b, wavelength = 2.0, 1.3, 1.0
        k0 = 2 * math.pi / wavelength
        exact = sorted((1 - (m * math.pi / (k0 * a)) ** 2 - (q * math.pi / (k0 * b)) ** 2
                        for m in range(4) for q in range(4) if m + q > 0), reverse=True)[:3]
        errors = []
        for h in (0.05, 0.025):
            nx, ny = round(a / h), round(b / h)
            n = nx * ny
            got = engine.solve_diagonal(
                nx=nx, ny=ny, dlf_x=np.full(nx, h), dlf_y=np.full(ny, h), dlb_x=np.full(nx, h),
                dlb_y=np.full(ny, h), pmc_x=False, pmc_y=False,
                eps_tensor=diagonal_tensor(1.0, n), mu_tensor=diagonal_tensor(1.0, n),
                num_modes=8, neff_guess=0.999, direction="+", derivative_scale=1 / k0)
            # Drop the wall-bound modes at neff = 1 (tangential samples on the low walls) and
            # merge the discrete pairs.
            squared = np.unique(np.round((got.neffs**2).real[np.abs(got.neffs - 1) > 1e-6], 9))[::-1][:3]
            errors.append(np.max(np.abs(squared - exact)))
        assert errors[1] < 2e-3
        assert 3.0 < errors[0] / errors[1] < 5.0  # second order in h


class TestOptions:
    def test_two_identical_calls_are_bit_identical(self):
        kw = strip(36, num_modes=3)
        first, second = engine.solve_diagonal(**kw), engine.solve_diagonal(**kw)
        np.testing.assert_array_equal(first.neffs, second.neffs)
        np.testing.assert_array_equal(first.fields, second.fields)
        assert first.operator_applications == second.operator_applications

    def test_one_and_two_threads_give_identical_bits(self):
        # Large enough that the projections split their rows and the LU solves their pivots.
        kw = strip(130, num_modes=2)
        one, two = engine.solve_diagonal(**kw, threads=1), engine.solve_diagonal(**kw, threads=2)
        np.testing.assert_array_equal(one.neffs, two.neffs)
        np.testing.assert_array_equal(one.fields, two.fields)
        # UMFPACK's own refined solves agree to the tolerance.
        refined = engine.solve_diagonal(**kw, refine=True)
        np.testing.assert_allclose(refined.neffs, one.neffs, rtol=0, atol=1e-10)

    def test_start_from_converged_modes_needs_fewer_applications(self):
        kw = strip(36, num_modes=3)
        cold = engine.solve_diagonal(**kw)
        start, predicted = engine.extrapolated_start([1.55], [cold], 1.55)
        warm = engine.solve_diagonal(**kw, initial_vector=start)
        np.testing.assert_allclose(warm.neffs, cold.neffs, atol=1e-10)
        np.testing.assert_allclose(predicted, cold.neffs)
        assert warm.operator_applications < cold.operator_applications / 2

    def test_extrapolated_start_follows_a_sweep(self):
        wavelengths = [1.50, 1.52, 1.54, 1.56]
        results = [engine.solve_diagonal(**strip(32, num_modes=2, wavelength=w)) for w in wavelengths[:3]]
        start, predicted = engine.extrapolated_start(wavelengths[:3], results, wavelengths[3])
        kw = strip(32, num_modes=2, wavelength=wavelengths[3])
        cold = engine.solve_diagonal(**kw)
        warm = engine.solve_diagonal(**kw, initial_vector=start)
        np.testing.assert_allclose(warm.neffs, cold.neffs, atol=1e-10)
        assert np.max(np.abs(predicted - cold.neffs)) < 1e-3
        assert warm.operator_applications < cold.operator_applications

    def test_workspace_reuses_the_analysis_and_matches_a_fresh_solve(self):
        workspace = engine.Workspace()
        first = engine.solve_diagonal(**strip(36, wavelength=1.50), workspace=workspace)
        kw = strip(36, wavelength=1.60)
        reused = engine.solve_diagonal(**kw, workspace=workspace)
        fresh = engine.solve_diagonal(**kw)
        assert not first.details["reused_symbolic"] and reused.details["reused_symbolic"]
        assert workspace.symbolic_reuses == 1
        np.testing.assert_allclose(reused.neffs, fresh.neffs, rtol=0, atol=1e-10)
        # Another grid is another pattern: analysed afresh.
        other = engine.solve_diagonal(**strip(32), workspace=workspace)
        assert not other.details["reused_symbolic"]

    @pytest.mark.parametrize("ordering", ["amd", "metis"])
    def test_orderings_and_index_widths_agree(self, ordering):
        kw = strip(32, num_modes=2)
        narrow = engine.solve_diagonal(**kw, ordering=ordering, wide_indices=False)
        wide = engine.solve_diagonal(**kw, ordering=ordering, wide_indices=True)
        assert wide.details["wide_indices"] and not narrow.details["wide_indices"]
        assert narrow.details["metis"] == (ordering == "metis")
        np.testing.assert_allclose(wide.neffs, narrow.neffs, rtol=0, atol=1e-10)

    def test_operator_csc_holds_the_operator_the_modes_belong_to(self):
        sp = pytest.importorskip("scipy.sparse")
        kw = strip(30, num_modes=2)
        got = engine.solve_diagonal(**kw)
        shape, indptr, indices, data = engine.operator_csc("diagonal", **kw)
        a = sp.csc_matrix((data, indices, indptr), shape=shape)
        assert shape == (got.operator_rows, got.operator_rows) and a.nnz == got.operator_nnz
        # The first mode is only scaled by the orthogonalisation: an eigenvector of a.
        v = np.concatenate([got.fields[0, 0], got.fields[1, 0]])
        residual = a @ v + got.neffs[0] ** 2 * v  # eigenvalue -neff^2
        norm_1 = abs(a).sum(axis=0).max()
        assert np.linalg.norm(residual) < 1e-9 * norm_1 * np.linalg.norm(v)


class TestPmlStretch:
    def test_real_stretch_equals_stretched_steps(self):
        """Dividing row i of Dxf by s[i] is the step dlf_x[i] * s[i]: an independent check of
        which factor meets which row."""
        kw = strip(32, num_modes=2, pml=False)
        rng = np.random.default_rng(1)
        s = [1 + 0.3 * rng.random(kw["nx"]), 1 + 0.3 * rng.random(kw["nx"]),
             1 + 0.3 * rng.random(kw["ny"]), 1 + 0.3 * rng.random(kw["ny"])]
        stretched = engine.solve_diagonal(**kw, pml_stretch=s)
        steps = dict(kw, dlf_x=kw["dlf_x"] * s[0], dlb_x=kw["dlb_x"] * s[1],
                     dlf_y=kw["dlf_y"] * s[2], dlb_y=kw["dlb_y"] * s[3])
        reference = engine.solve_diagonal(**steps)
        np.testing.assert_allclose(stretched.neffs, reference.neffs, rtol=0, atol=1e-10)

    def test_complex_stretch_absorbs_like_a_pml(self):
        kw = strip(40, num_modes=2, pml=False)
        nx, ny = kw["nx"], kw["ny"]
        depth = 8  # cells
        def profile(count):
            d = np.clip((np.abs(np.arange(count) - (count - 1) / 2) - (count / 2 - depth)) / depth, 0, 1)
            return 1 + 2j * d**2
        s = [profile(nx), profile(nx), profile(ny), profile(ny)]
        closed = engine.solve_diagonal(**kw)
        open_ = engine.solve_diagonal(**kw, pml_stretch=s)
        # The guided TE0 mode barely feels the layer; it is lossless in the closed box.
        assert abs(open_.neffs[0] - closed.neffs[0]) < 1e-3
        assert 0 <= open_.neffs[0].imag < 1e-4

    def test_stretch_and_npml_together_are_refused(self):
        kw = strip(20, num_modes=1)
        s = [np.ones(kw["nx"])] * 2 + [np.ones(kw["ny"])] * 2
        with pytest.raises(ValueError, match="npml_x=0 and npml_y=0"):
            engine.solve_diagonal(**kw, pml_stretch=s)


class TestArguments:
    @pytest.mark.parametrize("change, error, text", [
        (dict(eps_tensor=np.ones((9, 5))), ValueError, "eps_tensor must have shape"),
        (dict(dlf_x=np.ones(3)), ValueError, "dlf_x must be a 1-D array of nx"),
        (dict(num_modes=0), ValueError, "num_modes must be at least 1"),
        (dict(nx=2.5), TypeError, "nx must be an integer"),
        (dict(initial_vector=np.ones(7)), ValueError, "initial_vector must be a 1-D complex array"),
        (dict(npml_x=3, omega=None), ValueError, "omega"),
    ])
    def test_errors_name_the_argument(self, change, error, text):
        kw = dict(strip(20, num_modes=1, pml=False), **change)
        with pytest.raises(error, match=text):
            engine.solve_diagonal(**kw)

    @pytest.mark.parametrize("option, value, text", [
        ("ordering", "colamd", "ordering must be one of"),
        ("iteration", "lanczos", "iteration must be one of"),
        ("tol", 0.0, "tol must be positive"),
    ])
    def test_bad_options_are_named(self, option, value, text):
        with pytest.raises(ValueError, match=text):
            engine.solve_diagonal(**strip(20, num_modes=1, pml=False), **{option: value})

    def test_tensor_in_three_by_three_form_is_accepted(self):
        kw = strip(20, num_modes=1, pml=False)
        flat = engine.solve_diagonal(**kw)
        square = engine.solve_diagonal(**dict(kw, eps_tensor=kw["eps_tensor"].reshape(3, 3, -1)))
        np.testing.assert_array_equal(flat.neffs, square.neffs)

    @pytest.mark.parametrize("name, index, value", [
        ("eps_tensor", (0, 7), np.nan), ("mu_tensor", (8, 0), np.inf), ("dlb_y", 2, np.nan),
        ("neff_guess", None, np.nan), ("omega", None, np.inf), ("pml_sigma_max", None, np.nan),
        ("derivative_scale", None, -np.inf),
    ])
    def test_non_finite_inputs_are_refused_by_name(self, name, index, value):
        # They used to reach the factorisation and fail there as a singular matrix.
        kw = strip(20, num_modes=1)
        if index is None:
            kw[name] = value
        else:
            kw[name] = np.array(kw[name], dtype=kw[name].dtype)
            kw[name][index] = value
        with pytest.raises(ValueError, match=f"^{name} must .*finite"):
            engine.solve_diagonal(**kw)

    def test_numerical_failure_is_a_value_error_from_the_library(self):
        kw = strip(20, num_modes=1, pml=False)
        kw["dlf_x"] = kw["dlf_x"].copy()
        kw["dlf_x"][3] = 0.0
        with pytest.raises(ValueError, match="cell areas must be finite and positive"):
            engine.solve_diagonal(**kw)
