"""Cells and memory of a solve, estimated before anything is allocated, and the guard that
refuses a problem the machine cannot hold (lengths in micrometres).

The memory model is the peak resident memory of `corvane.solve` above the interpreter's,
per cell of the grid with its absorbing layers: a + b log2(cells) bytes (the fill of a sparse
LU factor of a 2-D problem under nested dissection grows as N log N). a and b are fitted to
the peak RSS (getrusage ru_maxrss, less the RSS after a first small solve) of strip solves of
the whole window (no mirror split) on uniform grids of 23k and 92k cells: 10.0 and 11.9 kB
per cell on the diagonal path. Solves split at a mirror plane (two half windows, one per
core) measured 4.1, 4.7 and 5.7 kB per cell at 23k, 92k and 187k cells; the line through
the first and last is their model. The tensorial path measured 2.7 times the diagonal path
on the whole window and up to 3.8 times on split windows: it is taken as 4 times the
whole-window diagonal model, split or not.
`python bench/bench_grid.py --memory` repeats the measurement.

Example:
    >>> from corvane.geometry import strip
    >>> e = estimate(strip(), 1.55, step=0.02)
    >>> e.shape[0] > 50 and e.bytes < 2**30
    True
"""

from __future__ import annotations

import math
import numbers
import re
from dataclasses import dataclass

from corvane.grid import Grid, GridSize
from corvane.materials import check_wavelength, probing_at

# bytes per cell = a + b log2(cells), fitted on the diagonal and the tensorial path.
BYTES_PER_CELL = {("diagonal", False): (-4305.0, 985.0), ("diagonal", True): (-3770.0, 542.0),
                  ("tensorial", False): (-17220.0, 3940.0),
                  ("tensorial", True): (-17220.0, 3940.0)}
# Below this many cells the fixed costs (imports, tables) dominate: no refusal.
SMALL_PROBLEM_CELLS = 20_000
# The share of the available memory a solve may plan to use: the model is an envelope of a
# few measurements, and the machine's other processes keep running.
MEMORY_SHARE = 0.8


class ProblemTooLarge(ValueError):
    """The grid asked for needs more memory than the machine has (or than `max_cells`)."""


@dataclass(frozen=True)
class Estimate:
    """Size of a solve: cells (nx, ny) including the absorbing layers, the path, and the
    estimated peak memory in bytes."""

    shape: tuple[int, int]
    formulation: str
    split: bool = False  # solved as half windows about a mirror plane

    @property
    def cells(self) -> int:
        return self.shape[0] * self.shape[1]

    @property
    def unknowns(self) -> int:
        """Transverse field samples: two per cell."""
        return 2 * self.cells

    @property
    def bytes(self) -> int:
        a, b = BYTES_PER_CELL[(self.formulation, self.split)]
        n = max(self.cells, 2)
        return int(n * max(a + b * math.log2(n), 2000.0))

    def __str__(self) -> str:
        nx, ny = self.shape
        return (f"{_count(self.cells)} cells ({nx:,} x {ny:,} with the absorbing layers), "
                f"about {_gib(self.bytes)} on the {self.formulation} path")


def estimate(structure, wavelength: float, *, step=None, grid=None, pml="auto",
             formulation: str = "auto", symmetry: str = "auto", **grid_options) -> Estimate:
    """The size and peak memory of `corvane.solve(structure, wavelength, step=step,
    grid=grid, pml=pml, formulation=formulation, symmetry=symmetry)`, found without
    building the grid.

    pml: as for `solve`: "auto" (half a wavelength), a thickness, or a `corvane.PML`.

    Example:
        >>> from corvane.geometry import strip
        >>> estimate(strip(width=500, height=220), 1550.0, step=0.02).cells > 10**7   # nm
        True
    """
    lam = check_wavelength(wavelength)
    if grid is not None:
        size = grid.size
    else:
        if step is None:
            step = lam / (20.0 * max(structure.max_index(lam), 1.0))
        size = Grid.auto_size(structure, lam, step=step, **grid_options)
    with probing_at(lam):  # a tabulated material need only hold at this wavelength
        tensorial = formulation == "tensorial" or (formulation == "auto"
                                                    and not structure.is_diagonal)
        sides = _pml_sides(pml, lam)
        split = grid is None and symmetry != "none" and (
            (sides[0] == sides[1] and structure.mirror_plane_x() is not None)
            or (sides[2] == sides[3] and structure.mirror_plane_y() is not None))
    return estimate_padded(size, sides, "tensorial" if tensorial else "diagonal", split)


def estimate_padded(size: GridSize, pml_sides, formulation: str, split: bool = False
                    ) -> Estimate:
    """The `Estimate` of a grid of `size` with absorbing layers of thicknesses pml_sides
    (left, right, bottom, top) made of cells as wide as the outermost ones."""
    extra = [math.ceil(t / h - 1e-9) if t > 0 else 0 for t, h in zip(pml_sides, size.outer)]
    return Estimate((size.nx + extra[0] + extra[1], size.ny + extra[2] + extra[3]), formulation,
                    split)


def available_bytes() -> int | None:
    """The memory the system can give without swapping (MemAvailable), or None where
    /proc/meminfo is missing."""
    try:
        with open("/proc/meminfo") as f:
            for line in f:
                if line.startswith("MemAvailable:"):
                    return int(line.split()[1]) * 1024
    except (OSError, ValueError, IndexError):
        pass
    return None


def check_max_cells(max_cells) -> int | None:
    if max_cells is None:
        return None
    if isinstance(max_cells, bool) or not isinstance(max_cells, numbers.Real) or \
            not (math.isfinite(max_cells) and max_cells >= 1):
        raise ValueError(f"max_cells must be a number of cells >= 1 (e.g. 2e6), got {max_cells!r}")
    return int(max_cells)


def guard(e: Estimate, *, structure, wavelength: float, step, max_cells=None,
          available=None) -> None:
    """Refuse (ProblemTooLarge) a solve of estimate `e` above `max_cells` cells or, when
    max_cells is None, above `MEMORY_SHARE` of the available memory (`available` bytes,
    default `available_bytes()`)."""
    max_cells = check_max_cells(max_cells)
    if max_cells is not None:
        if e.cells <= max_cells:
            return
        limit = f"above max_cells={max_cells:,}"
    else:
        if e.cells <= SMALL_PROBLEM_CELLS:
            return
        available = available_bytes() if available is None else available
        if available is None or e.bytes <= MEMORY_SHARE * available:
            return
        limit = (f"more than {MEMORY_SHARE:.0%} of the {_gib(available)} of memory "
                 "available")
    raise ProblemTooLarge(too_large_message(e, limit, structure=structure,
                                            wavelength=wavelength, step=step))


def out_of_memory(exc: BaseException) -> bool:
    """Whether a failure of the native solve means the problem did not fit: a MemoryError,
    or UMFPACK out of memory (status -1), failing to order (-18) or beyond its index range."""
    if isinstance(exc, MemoryError):
        return True
    text = str(exc)
    return "UMFPACK" in text and (re.search(r"status -18?\b", text) is not None
                                  or "index range" in text)


def too_large_message(e: Estimate, limit: str, *, structure, wavelength: float, step) -> str:
    """Why a solve is too large, with the likely unit mistake and the fixes."""
    step_text = f"{step:g} um" if step is not None else "the given grid"
    hints = _unit_hints(structure, wavelength, step)
    return (f"the solve needs {e}, {limit}: step = {step_text} at wavelength = "
            f"{wavelength:g} um. {hints}Raise step, shrink the window, or pass a larger "
            "max_cells= (--max-cells on the command line) to go ahead anyway.")


def _unit_hints(structure, wavelength: float, step) -> str:
    hints = []
    xmin, ymin, xmax, ymax = structure.bounds()
    spans = [b - a for a, b in ((xmin, xmax), (ymin, ymax)) if a is not None]
    if wavelength > 20:
        hints.append(f"Lengths are in micrometres: wavelength = {wavelength:g} looks like "
                     f"nanometres ({wavelength:g} nm = {wavelength / 1000:g} um)"
                     + (", and so do the shape sizes" if spans and max(spans) > 20 else "")
                     + ".")
    elif spans and max(spans) > 100 * wavelength:
        hints.append(f"The shapes span {max(spans):g} um, over 100 wavelengths: shapes far "
                     "apart (or sizes in nanometres) make a long window; solve the parts "
                     "separately.")
    if step is not None and step < wavelength / 2000:
        hints.append(f"step = {step:g} um is below 1/2000 of the wavelength.")
    return " ".join(hints) + (" " if hints else "")


def _pml_sides(pml, wavelength: float) -> tuple[float, float, float, float]:
    if isinstance(pml, str) and pml == "auto":
        return (0.5 * wavelength,) * 4
    if pml is None:
        return (0.0,) * 4
    if isinstance(pml, numbers.Real) and not isinstance(pml, bool):
        return (float(pml),) * 4
    sides = getattr(pml, "sides", None)
    if sides is None:
        raise ValueError(f"pml must be 'auto', a thickness in micrometres or a corvane.PML, "
                         f"got {pml!r}")
    return tuple(float(t) for t in sides)


def _count(n: int) -> str:
    return f"{n / 1e6:.1f} M" if n >= 10**6 else f"{n:,}"


def _gib(n: float) -> str:
    if n >= 2**40:
        return f"{n / 2**40:.1f} TiB"
    return f"{n / 2**30:.1f} GiB" if n >= 2**30 else f"{n / 2**20:.0f} MiB"
