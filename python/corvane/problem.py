"""The discretised problem of one solve: the window with its PML cells and mirror planes,
and the materials sampled on it.

In: a checked `Request`. Out: a `Domain` (the grid asked for or `Grid.auto`'s, padded with
the PML cells, the mirror planes the solve splits at and the edges of the half window that is
solved) and a `Problem` (eps and mu sampled on that window, bent when a radius is given, the
formulation they need, their index range and the PML stretch of each axis).
"""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np

from corvane import budget
from corvane.bend import apply_bend
from corvane.grid import Grid
from corvane.inputs import Request, check_sampled, check_window
from corvane.materials import probing_at
from corvane.pml import padded, pml_mask, stretch_factors
from corvane.sampling import SampledMaterials, sample_materials
from corvane.symmetry import half_edges, structure_planes, window_planes


@dataclass(frozen=True)
class Domain:
    """The window of one solve (edges in micrometres)."""

    grid: Grid  # the window asked for (or the automatic one), without the PML
    x_edges: np.ndarray  # the whole window with the PML cells added
    y_edges: np.ndarray
    pml_cells: tuple[int, int, int, int]  # PML cells at left, right, bottom, top
    planes: dict  # the mirror planes the solve splits at: {"x": x0, "y": y0}
    xs: np.ndarray  # the solved window: the upper half along each mirror axis
    ys: np.ndarray
    cells: tuple[int, int, int, int]  # PML cells of the solved window (none on a mirror side)


@dataclass(frozen=True)
class Problem:
    """The materials of the solved window and what the search and classification read."""

    sampled: SampledMaterials
    eps: np.ndarray  # (3, 3, nx, ny) complex, PML not folded in
    mu: np.ndarray
    tensorial: bool  # whether the off-diagonal terms are kept
    index: np.ndarray  # (nx, ny) complex local index, see `local_index`
    n_max: float  # the largest Re(index) inside the PML
    loss_index: float  # the largest |Im(index)|
    passive: bool  # no material with gain
    stretch: tuple  # (x, y) stretch factors of `corvane.pml.stretch_factors`


def build_domain(request: Request, margin: dict | None = None) -> Domain:
    """The grid (given, or `Grid.auto` around the structure, with the `margin` {"x": mx,
    "y": my} in micrometres when given), the PML cells outside it, and the mirror planes of
    the structure about which the padded window is symmetric too."""
    structure, wavelength, pml = request.structure, request.wavelength, request.pml
    with probing_at(wavelength):  # a tabulated material need only hold at this wavelength
        candidates = structure_planes(structure, request.symmetry, request.bend_radius, pml)
    if request.grid is None:
        grid = automatic_grid(request, candidates, margin)
    else:
        grid = request.grid
        _guard(request, grid.size, None, split=False)
    check_window(structure, grid, pml, wavelength)
    x_edges, nl, nr = padded(np.asarray(grid.x_edges, float), pml.left, pml.right)
    y_edges, nb, nt = padded(np.asarray(grid.y_edges, float), pml.bottom, pml.top)
    planes = window_planes(candidates, x_edges, y_edges, request.symmetry)
    xs = half_edges(x_edges, planes["x"]) if "x" in planes else x_edges
    ys = half_edges(y_edges, planes["y"]) if "y" in planes else y_edges
    cells = (0 if "x" in planes else nl, nr, 0 if "y" in planes else nb, nt)
    return Domain(grid, x_edges, y_edges, (nl, nr, nb, nt), planes, xs, ys, cells)


def automatic_grid(request: Request, planes: dict | None = None,
                   margin: dict | None = None) -> Grid:
    """The grid of a solve given no grid: `Grid.auto` around the structure with the request's
    step (and `Grid.auto`'s margin, or `margin` {"x": mx, "y": my} in micrometres),
    symmetric about the mirror `planes` the solve may split at (by default those of the
    structure that the request's symmetry, bend and PML allow). A grid beyond `max_cells`
    or the memory is refused (`corvane.ProblemTooLarge`) before it is built."""
    structure, wavelength, step = request.structure, request.wavelength, request.step
    if planes is None:
        with probing_at(wavelength):
            planes = structure_planes(structure, request.symmetry, request.bend_radius,
                                      request.pml)
    if step is None:
        step = wavelength / (20.0 * max(structure.max_index(wavelength), 1.0))
    margins = None
    if margin:  # an axis without finite extent ignores its margin
        margins = (margin.get("x", margin.get("y")), margin.get("y", margin.get("x")))
    options = {"margin": margins, "mirror_x": planes.get("x"), "mirror_y": planes.get("y")}
    _guard(request, Grid.auto_size(structure, wavelength, step=step, **options), step,
           split=bool(planes))
    return Grid.auto(structure, wavelength, step=step, **options)


def _guard(request: Request, size, step, *, split: bool) -> None:
    """Refuse, before anything is allocated, a grid beyond max_cells or the memory."""
    e = budget.estimate_padded(size, request.pml.sides, _formulation(request), split)
    budget.guard(e, structure=request.structure, wavelength=request.wavelength, step=step,
                 max_cells=request.max_cells)


def _formulation(request: Request) -> str:
    with probing_at(request.wavelength):
        diagonal = request.structure.is_diagonal
    tensorial = request.formulation == "tensorial" or (request.formulation == "auto"
                                                       and not diagonal)
    return "tensorial" if tensorial else "diagonal"


def too_large(request: Request, domain: Domain, exc: BaseException) -> budget.ProblemTooLarge:
    """The guard's error for a solve of this domain that ran out of memory anyway."""
    e = budget.Estimate((domain.x_edges.size - 1, domain.y_edges.size - 1),
                        _formulation(request), bool(domain.planes))
    return budget.ProblemTooLarge(budget.too_large_message(
        e, f"which ran out of memory ({exc})", structure=request.structure,
        wavelength=request.wavelength, step=request.step))


def discretise(request: Request, domain: Domain) -> Problem:
    """The materials sampled on the solved window (bent when a radius is given), checked."""
    pml, planes, xs, ys = request.pml, domain.planes, domain.xs, domain.ys
    solve_grid = Grid(xs, ys)
    # The tensorial formulation keeps the off-diagonal terms that smoothing slanted and
    # curved interfaces produces (second order there, where the diagonal path is first).
    sampled = sample_materials(request.structure, solve_grid, request.wavelength,
                               off_diagonal=True if request.formulation == "tensorial" else None)
    if request.bend_radius is not None:
        sampled = apply_bend(sampled, solve_grid, request.bend_radius)
    eps = np.asarray(sampled.eps, complex)
    mu = np.asarray(sampled.mu, complex)
    diagonal = check_sampled(eps, mu, request.formulation)
    tensorial = request.formulation == "tensorial" or (request.formulation == "auto"
                                                       and not diagonal)
    index = local_index(eps, mu)
    inner = ~pml_mask(*index.shape, domain.cells)
    a = pml.strength
    stretch = (stretch_factors(xs, pml.left if "x" not in planes else 0.0, pml.right, a, a,
                               pml.order),
               stretch_factors(ys, pml.bottom if "y" not in planes else 0.0, pml.top, a, a,
                               pml.order))
    return Problem(sampled, eps, mu, tensorial, index, n_max=float(np.max(index.real[inner])),
                   loss_index=float(np.max(np.abs(index.imag))),
                   passive=bool(np.min(index.imag) >= 0), stretch=stretch)


def local_index(eps: np.ndarray, mu: np.ndarray) -> np.ndarray:
    """The largest sqrt(eps_ii mu_ii) (by real part) of each cell, (nx, ny) complex."""
    n = np.stack([np.sqrt(eps[i, i] * mu[i, i]) for i in range(3)])
    pick = np.argmax(n.real, axis=0)
    return np.take_along_axis(n, pick[None], axis=0)[0]
