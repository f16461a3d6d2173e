"""The sub-problems of one solve: the windows it solves separately and one request of modes
from one of them.

A mirror plane splits the window into halves solved with a magnetic and with an electric wall
on the plane (`windows`). A `SubProblem` is one such window with the PML folded into its
materials and the samples of its electric walls detuned; `SubProblem.ask(count, at)` returns
the `count` modes nearest the effective index `at` as `WindowModes`: physical (unstretched)
fields on the window, residuals, energy fractions and kinds.

The native solver orthogonalises the modes it returns under plain cell areas; the discrete
modes are orthogonal under each staggered component's own dual cells instead, so that step
mixes a few 1e-4 of each mode into the next. `lorentz_orthogonalised` takes the mixture out.
"""

from __future__ import annotations

import itertools
import logging
import time
from dataclasses import dataclass

import numpy as np

from corvane import engine
from corvane.classify import PML_IMAG_MARGIN, WALL_FRACTION, classify, energy_fractions
from corvane.grid import Grid
from corvane.inputs import Request
from corvane.native import run_native
from corvane.pml import pml_mask, stretched_materials
from corvane.problem import Domain, Problem
from corvane.symmetry import power_normalise
from corvane.weights import component_weights

log = logging.getLogger("corvane")

# A mode whose Lorentz self-overlap (at unit power) is below this spoils the later modes that
# the native solver orthogonalises against it; see `SubProblem.refine`.
RISKY_SELF_OVERLAP = 0.1
# eps and mu given to the electric-wall samples (None leaves them as sampled).
WALL_DETUNE = 1e-4


@dataclass(frozen=True)
class Window:
    """The grid of one sub-problem and what its modes are judged against."""

    x_edges: np.ndarray
    y_edges: np.ndarray
    pmc_x: bool
    pmc_y: bool
    pml_cells: tuple[int, int, int, int]  # cells of PML at left, right, bottom, top
    parity: tuple  # (("x", "magnetic"|"electric"), ...) of the mirror walls of this half


@dataclass(frozen=True)
class SubproblemSettings:
    """What every sub-problem of one solve shares."""

    tensorial: bool
    wavelength: float  # micrometres
    num_modes: int  # physical modes wanted
    stretch: tuple  # (x, y) PML stretch factors of the window
    loss_index: float  # the largest |Im(index)| of the materials
    open_window: bool  # a PML on some side
    passive: bool  # no material with gain
    n_max: float  # the largest Re(index) inside the PML
    options: dict  # engine options


@dataclass
class WindowModes:
    """Modes of one sub-problem, the highest Re(neff) first, classified."""

    neffs: np.ndarray
    fields: np.ndarray  # (6, M, nx, ny), physical (unstretched) fields on the sub-window
    kinds: list
    residuals: np.ndarray
    wall_fraction: np.ndarray
    pml_fraction: np.ndarray
    backend: str
    operator_rows: int
    native_seconds: float = 0.0
    python_seconds: float = 0.0
    applications: int = 0  # operator applications of every native solve of the window


def windows(domain: Domain) -> list[Window]:
    """The sub-problems: one, or one per wall type on each mirror plane."""
    xs, ys, cells, planes = domain.xs, domain.ys, domain.cells, domain.planes
    walls = [[("x", True), ("x", False)] if "x" in planes else [None],
             [("y", True), ("y", False)] if "y" in planes else [None]]
    out = []
    for wx, wy in itertools.product(*walls):
        parity = tuple((w[0], "magnetic" if w[1] else "electric") for w in (wx, wy)
                       if w is not None)
        out.append(Window(xs, ys, bool(wx and wx[1]), bool(wy and wy[1]), cells, parity))
    return out


def shared_settings(request: Request, problem: Problem,
                    windows: list[Window]) -> SubproblemSettings:
    """The settings of every sub-problem of one solve."""
    _check_capacity(request.num_modes, windows, problem.tensorial)
    options = request.engine_options
    if len(windows) > 1:
        # Two half windows run side by side, one core each; a single window gets both cores.
        options = {**options, "threads": options.get("threads", 1)}
    return SubproblemSettings(
        tensorial=problem.tensorial, wavelength=request.wavelength,
        num_modes=request.num_modes, stretch=problem.stretch, loss_index=problem.loss_index,
        open_window=request.pml.any, passive=problem.passive, n_max=problem.n_max,
        options=options)


def capacity(unknowns: int) -> int:
    """The most modes a window of `unknowns` unknowns is asked for: the eigen search needs a
    Krylov space about twice the modes it returns, within the operator's order."""
    return max(0, (unknowns - 2) // 2)


def window_capacity(win: Window, tensorial: bool) -> int:
    """`capacity` of one window's operator (4 unknowns a cell tensorial, 2 diagonal)."""
    return capacity((4 if tensorial else 2) * (len(win.x_edges) - 1) * (len(win.y_edges) - 1))


def _check_capacity(num_modes: int, windows: list[Window], tensorial: bool) -> None:
    """Refuse, before any native work, more modes than the windows' operators can give."""
    each = [window_capacity(w, tensorial) for w in windows]
    most = sum(each) if min(each) > 0 else 0
    if num_modes > most:
        nx, ny = len(windows[0].x_edges) - 1, len(windows[0].y_edges) - 1
        where = f"{nx} x {ny} cells" + (f" (each of {len(windows)} mirror halves)"
                                        if len(windows) > 1 else "")
        raise ValueError(f"num_modes={num_modes} is more than a grid of {where} can give "
                         f"({most} at most): ask fewer modes or refine the grid (a smaller "
                         "step or more cells)")


def detune_walls(eps: np.ndarray, mu: np.ndarray, pmc_x: bool, pmc_y: bool):
    """Give the samples on electric low walls a tiny eps and mu (in place).

    Those samples (Ey, Ez, Hx on the x wall; Ex, Ez, Hy on the y wall) form a system of their
    own, decoupled from the interior, whose modes sit at neff = sqrt(eps mu) of the wall
    cells. With eps mu tiny they move to neff ~ 0, far from every guided mode, and stop
    taking the places of physical modes in the eigen search; no physical mode changes."""
    if WALL_DETUNE is None:
        return
    rows = []
    if not pmc_x:
        rows += [(eps, 1, np.s_[0, :]), (eps, 2, np.s_[0, :]), (mu, 0, np.s_[0, :])]
    if not pmc_y:
        rows += [(eps, 0, np.s_[:, 0]), (eps, 2, np.s_[:, 0]), (mu, 1, np.s_[:, 0])]
    for t, r, where in rows:
        for c in range(3):
            t[r, c][where] = WALL_DETUNE if c == r else 0


class SubProblem:
    """One window ready for the native solver; `native_seconds` sums its native calls."""

    def __init__(self, win: Window, eps, mu, settings: SubproblemSettings,
                 cladding_index: float):
        self.win, self.settings, self.cladding_index = win, settings, cladding_index
        sx, sy = settings.stretch
        self.nx, self.ny = len(win.x_edges) - 1, len(win.y_edges) - 1
        self.eps, self.mu = stretched_materials(eps, mu, sx, sy)
        detune_walls(self.eps, self.mu, win.pmc_x, win.pmc_y)
        self.areas = np.outer(np.diff(win.x_edges), np.diff(win.y_edges))
        grid = Grid(win.x_edges, win.y_edges)
        self.weights_2d = (component_weights(grid, "ex"), component_weights(grid, "ey"))
        self.weights = tuple(w.ravel() for w in self.weights_2d)
        self.applications = 0
        self.mask = pml_mask(self.nx, self.ny, win.pml_cells)
        self.unknowns = (4 if settings.tensorial else 2) * self.nx * self.ny
        self.native_seconds = 0.0
        self.options = settings.options
        if "workspace" not in self.options:
            # Every solve of this window (more modes, one mode again) has one operator pattern.
            self.options = {**self.options, "workspace": engine.Workspace()}

    def ask(self, count: int, at: float) -> WindowModes:
        """The `count` modes nearest the effective index `at`, classified, each mode that
        follows a PML mode solved again alone (see `refine`)."""
        r, fields = self.native(count, at)
        wall, pml = self.fractions(fields)
        kinds = self.kinds(r.neffs, wall, pml, r.residuals)
        self.refine(r, fields, wall, pml, kinds)
        return WindowModes(r.neffs, fields, kinds, r.residuals, wall, pml, r.backend,
                           r.operator_rows, applications=self.applications)

    def native(self, count: int, at: float) -> tuple[engine.EngineResult, np.ndarray]:
        """One native solve and its physical fields (6, M, nx, ny)."""
        win, (sx, sy) = self.win, self.settings.stretch
        start = time.perf_counter()
        r = run_native(tensorial=self.settings.tensorial, x_edges=win.x_edges,
                       y_edges=win.y_edges, pmc_x=win.pmc_x, pmc_y=win.pmc_y, eps=self.eps,
                       mu=self.mu, num_modes=count, shift=at,
                       wavelength=self.settings.wavelength, options=self.options)
        self.native_seconds += time.perf_counter() - start
        self.applications += r.operator_applications
        fields = lorentz_orthogonalised(r.fields, self.weights)
        fields = fields.reshape(6, len(r.neffs), self.nx, self.ny)
        # Back from the stretched fields E'_x = sx Ex, ... to the physical ones.
        fields[0] /= sx[0][None, :, None]
        fields[1] /= sy[0][None, None, :]
        fields[3] /= sx[1][None, :, None]
        fields[4] /= sy[1][None, None, :]
        return r, power_normalise(fields, self.weights_2d)

    def fractions(self, fields):
        return energy_fractions(fields, self.areas, self.mask, self.win.pmc_x, self.win.pmc_y)

    def kinds(self, neffs, wall, pml, residuals):
        s = self.settings
        return classify(neffs, wall, pml, residuals, cladding_index=self.cladding_index,
                        loss_index=s.loss_index, open_window=s.open_window,
                        index_guided=s.n_max > self.cladding_index * (1 + 1e-12),
                        passive=s.passive)

    def refine(self, r: engine.EngineResult, fields, wall, pml, kinds):
        """Solve again, alone, each candidate physical mode that follows a mode of vanishing
        self-overlap in the native result, and take its fields from that solve (in place).

        The native solver orthogonalises every mode against all modes of higher Re(neff) with
        the coefficient overlap / self-overlap; PML modes have a self-overlap near zero, so a
        guided mode below them in Re(neff) comes back mixed with them. A solve for one mode at
        its own index has nothing to mix with."""
        risky = np.abs(r.self_overlaps) < RISKY_SELF_OVERLAP
        for k in range(len(r.neffs)):
            if not np.any(risky[:k]) or wall[k] > WALL_FRACTION \
                    or abs(r.neffs[k].imag) > self.settings.loss_index + PML_IMAG_MARGIN:
                continue
            target = r.neffs[k]
            again, again_fields = self.native(1, target.real)
            if len(again.neffs) != 1 or abs(again.neffs[0] - target) > 1e-6 * abs(target) + 1e-9:
                log.debug("refinement of mode at neff %s found %s instead; kept the first fields",
                          target, again.neffs)
                continue
            fields[:, k] = again_fields[:, 0]
            w, p = self.fractions(again_fields)
            wall[k], pml[k] = w[0], p[0]
            kinds[k] = self.kinds(again.neffs, w, p, again.residuals)[0]
            r.residuals[k] = again.residuals[0]
            r.self_overlaps[k] = again.self_overlaps[0]


def lorentz_orthogonalised(fields: np.ndarray, weights: tuple) -> np.ndarray:
    """Modes (6, M, n) of one operator, highest Re(neff) first, made Lorentz-orthogonal under
    the dual-cell `weights` (w_ex, w_ey) by Gram-Schmidt in that order, each at unit power
    with its largest electric sample real and positive. A copy.

    The space the first k modes span is unchanged, and the exact eigenvectors are orthogonal
    under these weights, so this recovers them from any triangular mixture of them (the
    native solver's orthogonalisation under plain cell areas). Modes of near-zero
    self-overlap (PML modes) are not subtracted: their coefficient would be noise."""
    w_ex, w_ey = weights
    out = np.array(fields, dtype=complex, copy=True)

    def cross(a, b):
        return np.dot(w_ex * a[0], b[4]) - np.dot(w_ey * a[1], b[3])

    kept = []  # (index, self-overlap) of the modes subtracted from the later ones
    for k in range(out.shape[1]):
        mode = out[:, k]
        for j, self_overlap in kept:
            other = out[:, j]
            mode -= 0.5 * (cross(mode, other) + cross(other, mode)) / self_overlap * other
        power = abs(np.dot(w_ex * mode[0], mode[4].conj()) - np.dot(w_ey * mode[1], mode[3].conj()))
        if power > 0:
            mode /= np.sqrt(power)
        e = mode[:3].ravel()
        peak = e[np.argmax(np.abs(e))]
        if peak != 0:
            mode *= abs(peak) / peak
        self_overlap = cross(mode, mode)
        if abs(self_overlap) >= RISKY_SELF_OVERLAP:
            kept.append((k, self_overlap))
    return out
