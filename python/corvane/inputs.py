"""Checks of the arguments of `corvane.solve`, all before any grid, sampling or native work.

In: the arguments as the caller gave them. Out: a `Request`, the checked and normalised
arguments of one solve, or a ValueError/TypeError naming the argument and the fix. Two checks
need the window or the sampled materials and run when those exist: `check_window` and
`check_sampled`.
"""

from __future__ import annotations

import math
import numbers
from dataclasses import dataclass

import numpy as np

from corvane.budget import check_max_cells
from corvane.geometry import Structure
from corvane.grid import Grid
from corvane.pml import PML

FORMULATIONS = ("auto", "diagonal", "tensorial")
SYMMETRIES = ("auto", "none", "x", "y", "xy")


@dataclass(frozen=True)
class Request:
    """The checked arguments of one solve (lengths in micrometres)."""

    structure: Structure
    wavelength: float
    num_modes: int
    grid: Grid | None
    step: float | None
    pml: PML
    symmetry: str
    neff_guess: float | None
    include_all: bool
    formulation: str
    bend_radius: float | None
    engine_options: dict
    max_cells: int | None = None  # refuse larger grids; None: by the memory available

    @property
    def settings(self) -> dict:
        """The keywords of `corvane.solve` that repeat this solve (kept with its modes)."""
        return {"num_modes": self.num_modes, "grid": self.grid, "step": self.step,
                "pml": self.pml, "symmetry": self.symmetry, "neff_guess": self.neff_guess,
                "include_all": self.include_all, "formulation": self.formulation,
                "bend_radius": self.bend_radius, **self.engine_options}


def check_request(structure, wavelength, *, num_modes=1, grid=None, step=None, pml="auto",
                  symmetry="auto", neff_guess=None, include_all=False, formulation="auto",
                  bend_radius=None, max_cells=None, **engine_options) -> Request:
    """Every argument of `corvane.solve` (same keywords and defaults) checked, in the order
    the caller reads them."""
    _check_structure(structure)
    wavelength = _check_wavelength(wavelength)
    step = _check_step(step)
    num_modes, neff_guess, symmetry, bend_radius = _check_options(
        num_modes, neff_guess, symmetry, formulation, include_all, bend_radius)
    pml = _check_pml(pml, wavelength)
    if grid is not None and not isinstance(grid, Grid):
        raise TypeError(f"grid must be a corvane.grid.Grid or None, got {type(grid).__name__}")
    if grid is not None and step is not None:
        raise ValueError("give either grid= (a ready grid) or step= (for the automatic grid), "
                         "not both")
    return Request(structure, wavelength, num_modes, grid, step, pml, symmetry, neff_guess,
                   include_all, formulation, bend_radius, dict(engine_options),
                   check_max_cells(max_cells))


def _real(name: str, value, *, allow_none: bool = False):
    if value is None and allow_none:
        return None
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise TypeError(f"{name} must be a real number, got {type(value).__name__} {value!r}")
    return float(value)


def _check_wavelength(wavelength) -> float:
    w = _real("wavelength", wavelength)
    if not (math.isfinite(w) and w > 0):
        raise ValueError(f"wavelength must be a positive number of micrometres, got {wavelength!r}")
    if w < 1e-2:
        raise ValueError(f"wavelength {w!r} looks like metres: give it in micrometres "
                         f"(e.g. 1.55 for 1550 nm)")
    return w


def _check_step(step) -> float | None:
    h = _real("step", step, allow_none=True)
    if h is None:
        return None
    if not (math.isfinite(h) and h > 0):
        raise ValueError(f"step must be a positive number of micrometres, got {step!r}")
    if h < 1e-4:
        raise ValueError(f"step {h!r} looks like metres: give it in micrometres (e.g. 0.02)")
    return h


def _check_pml(pml, wavelength: float) -> PML:
    if pml is None:
        return PML()
    if isinstance(pml, str):
        if pml != "auto":
            raise ValueError(f"pml must be a thickness in micrometres, a corvane.PML or 'auto', "
                             f"got {pml!r}")
        return PML.uniform(0.5 * wavelength)
    if isinstance(pml, PML):
        for side, t in zip(("left", "right", "bottom", "top"), pml.sides):
            tt = _real(f"pml.{side}", t)
            if not (math.isfinite(tt) and tt >= 0):
                raise ValueError(f"pml.{side} must be a thickness >= 0 in micrometres, got {t!r}")
        if isinstance(pml.order, bool) or not isinstance(pml.order, numbers.Integral) \
                or pml.order < 0:
            raise ValueError(f"pml.order must be an integer >= 0, got {pml.order!r}")
        if not (math.isfinite(pml.strength) and pml.strength > 0):
            raise ValueError(f"pml.strength must be > 0 (the peak imaginary stretch, e.g. 2), "
                             f"got {pml.strength!r}")
        return pml
    t = _real("pml", pml)
    if not (math.isfinite(t) and t >= 0):
        raise ValueError(f"pml must be a thickness >= 0 in micrometres (0 closes the window with "
                         f"electric walls), got {pml!r}")
    return PML.uniform(t)


def _check_options(num_modes, neff_guess, symmetry, formulation, include_all, bend_radius):
    if isinstance(num_modes, bool) or not isinstance(num_modes, numbers.Integral):
        raise TypeError(f"num_modes must be an int, got {type(num_modes).__name__} {num_modes!r}")
    if num_modes < 1:
        raise ValueError(f"num_modes must be at least 1, got {num_modes!r}")
    guess = _real("neff_guess", neff_guess, allow_none=True)
    if guess is not None and not (math.isfinite(guess) and guess > 0):
        raise ValueError(f"neff_guess must be a positive effective index or None (search from "
                         f"the largest index down), got {neff_guess!r}")
    if symmetry in (None, False):
        symmetry = "none"
    if symmetry not in SYMMETRIES:
        raise ValueError(f"symmetry must be one of {SYMMETRIES}, got {symmetry!r}")
    if formulation not in FORMULATIONS:
        raise ValueError(f"formulation must be one of {FORMULATIONS}, got {formulation!r}")
    if not isinstance(include_all, bool):
        raise TypeError(f"include_all must be True or False, got {include_all!r}")
    radius = _real("bend_radius", bend_radius, allow_none=True)
    if radius is not None and not (math.isfinite(radius) and radius != 0):
        raise ValueError(f"bend_radius must be a finite non-zero radius in micrometres or None, "
                         f"got {bend_radius!r}")
    return int(num_modes), guess, symmetry, radius


def _check_structure(structure):
    if not isinstance(structure, Structure):
        raise TypeError(f"structure must be a corvane.geometry.Structure (or from a builder such "
                        f"as corvane.geometry.strip), got {type(structure).__name__}")
    if len(structure.shapes) == 0:
        raise ValueError("structure has no shapes: add at least one shape (e.g. a Rectangle of "
                         "the core) so the window and the grid can be built around it")
    x0, y0, x1, y1 = structure.bounds()
    extent = max((hi - lo for lo, hi in ((x0, x1), (y0, y1)) if lo is not None), default=0.0)
    if 0 < extent < 1e-3:
        raise ValueError(f"structure is {extent:.3g} wide: its lengths look like metres; give "
                         f"them in micrometres (e.g. width=0.5 for 500 nm)")


def check_window(structure, grid, pml: PML, wavelength: float):
    x_edges, y_edges = np.asarray(grid.x_edges), np.asarray(grid.y_edges)
    wx = x_edges[-1] - x_edges[0]
    wy = y_edges[-1] - y_edges[0]
    for side, t, w in zip(("left", "right", "bottom", "top"), pml.sides, (wx, wx, wy, wy)):
        # A layer outside the window may be thick, but one wider than the window and than
        # two wavelengths is a slip of units or of the side.
        if t > w and t > 2 * wavelength:
            raise ValueError(f"pml.{side} = {t} um is thicker than the window ({w:.4g} um across)"
                             f" and than two wavelengths: lengths are in micrometres; use a "
                             f"thinner PML or a larger window")
    for k, shape in enumerate(structure.shapes):
        b = shape.bounds
        if b[2] < x_edges[0] or b[0] > x_edges[-1] or b[3] < y_edges[0] or b[1] > y_edges[-1]:
            raise ValueError(f"structure shape {k} ({type(shape).__name__}, bounds {b}) lies "
                             f"outside the window x = [{x_edges[0]:.4g}, {x_edges[-1]:.4g}], "
                             f"y = [{y_edges[0]:.4g}, {y_edges[-1]:.4g}] um: enlarge the grid or "
                             f"move the shape")


def check_sampled(eps: np.ndarray, mu: np.ndarray, formulation: str) -> bool:
    """Reject non-finite or zero material samples; return whether the tensors are diagonal."""
    for name, t in (("eps", eps), ("mu", mu)):
        if not np.all(np.isfinite(t)):
            raise ValueError(f"material {name} has non-finite values (NaN or infinity) in the "
                             f"window: check the materials of the structure")
        diag = np.stack([t[0, 0], t[1, 1], t[2, 2]])
        if np.any(diag == 0):
            raise ValueError(f"material {name} is zero somewhere in the window: every material "
                             f"needs a non-zero {name} (e.g. Material(index=1.0) for air)")
    off = np.ones((3, 3), bool) ^ np.eye(3, dtype=bool)
    diagonal = not (np.any(eps[off] != 0) or np.any(mu[off] != 0))
    if formulation == "diagonal" and not diagonal:
        raise ValueError("formulation='diagonal' cannot take the off-diagonal terms of an "
                         "anisotropic material: use formulation='tensorial' or 'auto'")
    return diagonal
