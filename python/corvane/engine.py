"""The fast solve path: the native pipelines of `corvane._core` on numpy arrays.

`solve_diagonal` and `solve_tensorial` take the same 25 parameters as the `_core` functions
(numpy arrays where `_core` takes sequences: steps as float arrays, `eps_tensor` and
`mu_tensor` as complex arrays of shape (9, n) or (3, 3, n), `initial_vector` as a complex
array) and return an `EngineResult`. They differ from `_core` only in how the eigenproblem is
solved, which keyword-only options choose:

- ``ordering``: fill-reducing ordering of the LU, "metis", "amd" or "auto" (METIS);
- ``refine``: UMFPACK's iterative refinement in every solve (off by default; a candidate
  whose residual misses the tolerance gets one refined step instead). Without it the LU
  factors are copied out of UMFPACK and solved by the library's own triangular solves, on
  ``threads`` threads (factors beyond 2^27 entries, about 2.5 GiB, keep UMFPACK's solves);
- ``threads``: 1 or 2 (None: as many as there are cores, at most 2) for the triangular
  solves and the Krylov-Schur projections; results do not depend on it;
- ``wide_indices``: 64-bit UMFPACK; None chooses it directly for large problems;
- ``krylov_dim``: None chooses it from ``num_modes``;
- ``iteration``: "krylov_schur" (no process-wide lock: solves on several threads run at
  once), "arpack", or "auto";
- ``workspace``: a `Workspace` that keeps the symbolic analysis across solves of one
  operator pattern (a wavelength sweep on one grid);
- ``pml_stretch``: complex stretch factors (sx_f, sx_b, sy_f, sy_b), lengths nx, nx, ny, ny;
  row p of Dxf is divided by sx_f[ix], and so on. Replaces the npml PML;
- ``cancel``: a `CancelFlag` another thread may set to stop the solve.

The interpreter lock is released during native work, so solves on several Python threads run
at once. Ctrl-C (on the main thread) and a `CancelFlag` are honoured between operator
applications: within about 0.1 s plus one application, once the factorisation (which UMFPACK
cannot interrupt) is done. Without ``initial_vector`` the start vector is fixed, so two
identical calls give identical results bit for bit, also when they run at once on several
threads (METIS orderings take turns: METIS draws from the process's one rand() stream),
with a fixed number of BLAS threads (OPENBLAS_NUM_THREADS=1 is recommended: a second BLAS
thread gains little and costs much on a loaded machine).
"""

from __future__ import annotations

import logging
import os
import threading
from dataclasses import dataclass, field
from typing import Any, Sequence

import numpy as np

from corvane import _engine

__all__ = [
    "CancelFlag",
    "EngineResult",
    "SolveCancelled",
    "Workspace",
    "default_krylov_dim",
    "extrapolated_start",
    "operator_csc",
    "solve_diagonal",
    "solve_tensorial",
]

logger = logging.getLogger("corvane")

CancelFlag = _engine.CancelFlag
Workspace = _engine.Workspace
SolveCancelled = _engine.SolveCancelled

# Unknown count from which the 64-bit UMFPACK routines are used directly: the 32-bit ones
# run out of index range on grids of a few 10^5 cells, after a costly failed attempt.
WIDE_INDEX_UNKNOWNS = 250_000

_ORDERINGS = ("auto", "metis", "amd")
_ITERATIONS = ("auto", "krylov_schur", "arpack")
_DEFAULT_ITERATION = "krylov_schur"


def default_krylov_dim(num_modes: int) -> int:
    """Krylov dimension used when `krylov_dim` is None: enough room to lock `num_modes`
    pairs while the rest of the basis works on the next ones."""
    return max(2 * num_modes + 10, 20)


@dataclass(frozen=True)
class EngineResult:
    """One engine solve. `fields` is (6, M, n) in the order ex, ey, ez, hx, hy, hz, each
    mode power-normalised and Lorentz-orthogonalised as by `corvane._core`; `timings` holds
    seconds per phase (wall clock)."""

    neffs: np.ndarray
    fields: np.ndarray
    residuals: np.ndarray
    mode_powers: np.ndarray
    self_overlaps: np.ndarray
    max_cross_overlap: float
    backend: str
    operator_rows: int
    operator_nnz: int
    timings: dict[str, float]
    operator_applications: int
    details: dict[str, Any] = field(default_factory=dict)


def _positive_int(name: str, value: Any) -> int:
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, (int, np.integer)):
        raise TypeError(f"{name} must be an integer, got {type(value).__name__}")
    if value < 1:
        raise ValueError(f"{name} must be at least 1, got {value}")
    return int(value)


def _count(name: str, value: Any) -> int:
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, (int, np.integer)):
        raise TypeError(f"{name} must be an integer, got {type(value).__name__}")
    if value < 0:
        raise ValueError(f"{name} must not be negative, got {value}")
    return int(value)


def _steps(name: str, values: Any, length: int, axis: str) -> np.ndarray:
    a = np.ascontiguousarray(values, dtype=np.float64)
    if a.ndim != 1 or a.shape[0] != length:
        raise ValueError(
            f"{name} must be a 1-D array of n{axis} = {length} steps in micrometres, "
            f"got shape {a.shape}"
        )
    if not np.all(np.isfinite(a)):
        raise ValueError(f"{name} must hold finite steps in micrometres, got NaN or inf")
    return a


def _tensor(name: str, values: Any, n: int) -> np.ndarray:
    a = np.asarray(values)
    if a.shape == (3, 3, n):
        a = a.reshape(9, n)
    if a.shape != (9, n):
        raise ValueError(
            f"{name} must have shape (9, n) or (3, 3, n) with n = nx * ny = {n}, got {a.shape}"
        )
    a = np.ascontiguousarray(a, dtype=np.complex128)
    if not np.all(np.isfinite(a)):
        raise ValueError(f"{name} must hold finite values only, got NaN or inf")
    return a


def _complex_vector(name: str, values: Any, length: int, what: str) -> np.ndarray:
    a = np.ascontiguousarray(values, dtype=np.complex128)
    if a.ndim != 1 or a.shape[0] != length:
        raise ValueError(f"{name} must be a 1-D complex array of {what} = {length} values, "
                         f"got shape {a.shape}")
    if not np.all(np.isfinite(a)):
        raise ValueError(f"{name} must hold finite values only")
    return a


def _optional_float(name: str, value: Any) -> float | None:
    if value is None:
        return None
    return _float(name, value)


def _float(name: str, value: Any) -> float:
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, (int, float, np.integer, np.floating)):
        raise TypeError(f"{name} must be a real number, got {type(value).__name__}")
    if not np.isfinite(value):
        raise ValueError(f"{name} must be finite, got {value}")
    return float(value)


def _inputs(formulation: str, kw: dict[str, Any]) -> _engine.CallInputs:
    """Checks the 25 parameters (plus pml_stretch and tol) and fills the native record."""
    c = _engine.CallInputs()
    c.formulation = formulation
    nx = c.nx = _positive_int("nx", kw["nx"])
    ny = c.ny = _positive_int("ny", kw["ny"])
    n = nx * ny
    c.dlf_x = _steps("dlf_x", kw["dlf_x"], nx, "x")
    c.dlf_y = _steps("dlf_y", kw["dlf_y"], ny, "y")
    c.dlb_x = _steps("dlb_x", kw["dlb_x"], nx, "x")
    c.dlb_y = _steps("dlb_y", kw["dlb_y"], ny, "y")
    c.pmc_x = bool(kw["pmc_x"])
    c.pmc_y = bool(kw["pmc_y"])
    c.eps = _tensor("eps_tensor", kw["eps_tensor"], n)
    c.mu = _tensor("mu_tensor", kw["mu_tensor"], n)
    c.num_modes = _positive_int("num_modes", kw["num_modes"])
    c.neff_guess = _float("neff_guess", kw["neff_guess"])
    direction = kw["direction"]
    if not isinstance(direction, str):
        raise TypeError(f"direction must be '+' or '-', got {type(direction).__name__}")
    c.direction = direction
    c.derivative_scale = _optional_float("derivative_scale", kw.get("derivative_scale"))
    c.npml_x = _count("npml_x", kw.get("npml_x", 0))
    c.npml_y = _count("npml_y", kw.get("npml_y", 0))
    c.pml_sigma_max = _float("pml_sigma_max", kw.get("pml_sigma_max", 2.0))
    c.pml_kappa_min = _float("pml_kappa_min", kw.get("pml_kappa_min", 1.0))
    c.pml_kappa_max = _float("pml_kappa_max", kw.get("pml_kappa_max", 3.0))
    order = kw.get("pml_order", 3)
    if isinstance(order, (bool, np.bool_)) or not isinstance(order, (int, np.integer)):
        raise TypeError(f"pml_order must be an integer, got {type(order).__name__}")
    c.pml_order = int(order)
    c.dmin_pml_x = bool(kw.get("dmin_pml_x", True))
    c.dmin_pml_y = bool(kw.get("dmin_pml_y", True))
    c.omega = _optional_float("omega", kw.get("omega"))
    if (c.npml_x or c.npml_y) and c.omega is None:
        raise ValueError("omega (angular frequency, rad/s) is required when npml_x or npml_y is nonzero")
    krylov_dim = kw.get("krylov_dim")
    c.krylov_dim = (default_krylov_dim(c.num_modes) if krylov_dim is None
                    else _positive_int("krylov_dim", krylov_dim))
    unknowns = (2 if formulation == "diagonal" else 4) * n
    initial = kw.get("initial_vector")
    if initial is not None:
        c.initial_vector = _complex_vector("initial_vector", initial, unknowns,
                                           f"{2 if formulation == 'diagonal' else 4} * nx * ny")
    stretch = kw.get("pml_stretch")
    if stretch is not None:
        if c.npml_x or c.npml_y:
            raise ValueError("pml_stretch replaces the npml PML: pass npml_x=0 and npml_y=0")
        if len(stretch) != 4:
            raise ValueError("pml_stretch must be (sx_f, sx_b, sy_f, sy_b)")
        names = ("sx_f", "sx_b", "sy_f", "sy_b")
        lengths = (nx, nx, ny, ny)
        for name, values, length in zip(names, stretch, lengths):
            axis = "nx" if length == nx and name.startswith("sx") else "ny"
            a = _complex_vector(f"pml_stretch {name}", values, length, axis)
            if np.any(a == 0):
                raise ValueError(f"pml_stretch {name} must not hold zero stretch factors")
            setattr(c, name, a)
    tol = _float("tol", kw.get("tol", 1e-10))
    if not tol > 0:
        raise ValueError(f"tol must be positive, got {tol}")
    c.tol = tol
    return c


def _choice(name: str, value: str, allowed: Sequence[str]) -> str:
    if value not in allowed:
        raise ValueError(f"{name} must be one of {', '.join(map(repr, allowed))}, got {value!r}")
    return value


def _threads(threads: int | None) -> int:
    if threads is None:
        return max(1, min(2, os.cpu_count() or 1))
    return min(_positive_int("threads", threads), 2)


def _solve(formulation: str, kw: dict[str, Any], *, workspace, tol, ordering, threads, iteration,
           refine, wide_indices, cancel) -> EngineResult:
    kw = dict(kw, tol=tol)
    inputs = _inputs(formulation, kw)
    ordering = _choice("ordering", ordering, _ORDERINGS)
    iteration = _choice("iteration", iteration, _ITERATIONS)
    if iteration == "auto":
        iteration = _DEFAULT_ITERATION
    unknowns = (2 if formulation == "diagonal" else 4) * inputs.nx * inputs.ny
    wide = unknowns >= WIDE_INDEX_UNKNOWNS if wide_indices is None else bool(wide_indices)
    if workspace is not None and not isinstance(workspace, Workspace):
        raise TypeError("workspace must be a corvane.engine.Workspace()")
    if cancel is not None and not isinstance(cancel, CancelFlag):
        raise TypeError("cancel must be a corvane.engine.CancelFlag()")
    raw = _engine.solve(
        inputs,
        ordering="amd" if ordering == "amd" else "metis",
        refine=bool(refine),
        wide=wide,
        iteration=iteration,
        threads=_threads(threads),
        workspace=workspace,
        cancel=cancel,
        check_signals=threading.current_thread() is threading.main_thread(),
    )
    result = EngineResult(**raw)
    logger.debug("engine %s solve: %d unknowns, %d applications, backend %s, timings %s",
                 formulation, result.operator_rows, result.operator_applications, result.backend,
                 result.timings)
    return result


def solve_diagonal(nx, ny, dlf_x, dlf_y, dlb_x, dlb_y, pmc_x, pmc_y, eps_tensor, mu_tensor,
                   num_modes, neff_guess, direction, derivative_scale=None, npml_x=0, npml_y=0,
                   pml_sigma_max=2.0, pml_kappa_min=1.0, pml_kappa_max=3.0, pml_order=3,
                   dmin_pml_x=True, dmin_pml_y=True, omega=None, krylov_dim=None,
                   initial_vector=None, *, pml_stretch=None, workspace=None, tol=1e-10,
                   ordering="auto", threads=None, iteration="auto", refine=False,
                   wide_indices=None, cancel=None) -> EngineResult:
    """Modes of the diagonal-material formulation (eigenvalue -neff^2 on Ex, Ey); the
    parameters are those of `corvane._core.solve_diagonal_sparse_py`. See the module text."""
    kw = dict(locals())
    options = {k: kw.pop(k) for k in ("workspace", "tol", "ordering", "threads", "iteration",
                                       "refine", "wide_indices", "cancel")}
    return _solve("diagonal", kw, **options)


def solve_tensorial(nx, ny, dlf_x, dlf_y, dlb_x, dlb_y, pmc_x, pmc_y, eps_tensor, mu_tensor,
                    num_modes, neff_guess, direction, derivative_scale=None, npml_x=0, npml_y=0,
                    pml_sigma_max=2.0, pml_kappa_min=1.0, pml_kappa_max=3.0, pml_order=3,
                    dmin_pml_x=True, dmin_pml_y=True, omega=None, krylov_dim=None,
                    initial_vector=None, *, pml_stretch=None, workspace=None, tol=1e-10,
                    ordering="auto", threads=None, iteration="auto", refine=False,
                    wide_indices=None, cancel=None) -> EngineResult:
    """Modes of the full-tensor formulation (eigenvalue neff on Ex, Ey, Hx, Hy); the
    parameters are those of `corvane._core.solve_tensorial_sparse_py`."""
    kw = dict(locals())
    options = {k: kw.pop(k) for k in ("workspace", "tol", "ordering", "threads", "iteration",
                                       "refine", "wide_indices", "cancel")}
    return _solve("tensorial", kw, **options)


def operator_csc(formulation: str, **kw) -> tuple[tuple[int, int], np.ndarray, np.ndarray, np.ndarray]:
    """The assembled eigen-operator as (shape, indptr, indices, data) of a CSC matrix, for
    baselines and tests: eigenvalue -neff^2 ("diagonal") or neff ("tensorial"). Takes the
    same keywords as the solve functions (solver options are ignored)."""
    _choice("formulation", formulation, ("diagonal", "tensorial"))
    for option in ("workspace", "ordering", "threads", "iteration", "refine", "wide_indices",
                   "cancel"):
        kw.pop(option, None)
    kw.setdefault("num_modes", 1)
    kw.setdefault("neff_guess", 1.0)
    kw.setdefault("direction", "+")
    kw.setdefault("tol", 1e-10)
    return _engine.operator_csc(_inputs(formulation, kw))


def _operator_vectors(result: EngineResult, formulation: str) -> np.ndarray:
    """The eigenvectors (M, unknowns) behind a result's fields, each of unit norm."""
    f = result.fields
    if formulation == "diagonal":
        v = np.concatenate([f[0], f[1]], axis=1)
    else:
        v = np.concatenate([f[0], f[1], f[3], f[4]], axis=1)
    return v / np.linalg.norm(v, axis=1, keepdims=True)


def extrapolated_start(parameters: Sequence[float], results: Sequence[EngineResult],
                       parameter: float, *, formulation: str = "diagonal") -> tuple[np.ndarray, np.ndarray]:
    """Start vector and predicted effective indices for a solve at `parameter` (e.g. the
    wavelength in micrometres) from the results at earlier `parameters` (one to three used,
    the last ones). Each mode is followed from point to point by its largest overlap, its
    phase aligned, and its eigenvector and neff extrapolated by the Lagrange polynomial
    through those points. The start vector is the sum of the extrapolated eigenvectors, so
    the Krylov space holds all of them from its first vectors."""
    _choice("formulation", formulation, ("diagonal", "tensorial"))
    if len(parameters) != len(results) or not results:
        raise ValueError("parameters and results must be two non-empty sequences of one length")
    points = list(zip(parameters, results))[-3:]
    xs = np.array([p for p, _ in points], dtype=float)
    vectors = [_operator_vectors(r, formulation) for _, r in points]
    neffs = [np.asarray(r.neffs) for _, r in points]
    # Follow the modes of the newest point back through the older ones.
    tracks_v = [vectors[-1]]
    tracks_n = [neffs[-1]]
    for v, ne in zip(reversed(vectors[:-1]), reversed(neffs[:-1])):
        ref = tracks_v[-1]
        overlap = ref.conj() @ v.T  # (M_ref, M_old)
        order = np.argmax(np.abs(overlap), axis=1)
        matched = v[order]
        phase = np.exp(-1j * np.angle(np.sum(ref.conj() * matched, axis=1)))
        tracks_v.append(matched * phase[:, None])
        tracks_n.append(ne[order])
    tracks_v.reverse()
    tracks_n.reverse()
    weights = np.ones(len(xs))
    for i in range(len(xs)):
        for j in range(len(xs)):
            if i != j:
                weights[i] *= (parameter - xs[j]) / (xs[i] - xs[j])
    predicted_v = sum(w * v for w, v in zip(weights, tracks_v))
    predicted_n = sum(w * ne for w, ne in zip(weights, tracks_n))
    predicted_v /= np.linalg.norm(predicted_v, axis=1, keepdims=True)
    return predicted_v.sum(axis=0), predicted_n
