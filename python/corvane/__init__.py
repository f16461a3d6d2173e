"""corvane: finite-difference eigenmode solver for optical and microwave waveguides.

Describe a cross-section (`Structure` of shapes and materials, lengths in micrometres) and
call `solve(structure, wavelength, num_modes=...)` for a `ModeSet` of the physical modes,
highest effective index first. Conventions: docs/user_guide.md.

Warnings (a failed sweep point, a short mode set) go to the "corvane" logger. While the
application has configured no logging (the root logger has no handler), they are printed to
stderr; once it has, they are left to its handlers.
"""

import logging
import os
import sys

# One BLAS thread unless the caller chose otherwise, set before the native modules load
# OpenBLAS: the solver spends the cores itself (two mirror halves side by side, two-thread
# triangular solves), BLAS threads on top of that oversubscribe them (factorisations ran at
# half speed), gain nothing on a single window's sparse fronts, and make the bits of a result
# depend on the thread count.
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

from corvane import _core  # noqa: E402
from corvane import materials
from corvane.geometry import Ellipse, Layer, Polygon, Rectangle, Structure, rib, slot, strip
from corvane.budget import ProblemTooLarge, estimate
from corvane.grid import Grid, ResolutionWarning
from corvane.materials import Material
from corvane.io import FileFormatError
from corvane.modes import Mode, ModeSet, load
from corvane.sampling import SampledMaterials, sample_materials
from corvane.solve import PML, solve

__all__ = ["_core", "solve", "PML", "Mode", "ModeSet", "load", "FileFormatError"]
__all__ += ["materials", "Material", "Rectangle", "Polygon", "Ellipse", "Layer", "Structure",
            "strip", "rib", "slot", "Grid", "sample_materials", "SampledMaterials"]
__all__ += ["estimate", "ProblemTooLarge", "ResolutionWarning"]

# Workflows beyond one solve: sweeps with mode tracking, dispersion, bends.
from corvane.bend import apply_bend, bend_loss_db_per_90deg
from corvane.dispersion import group_index, gvd_ps_per_nm_km
from corvane.sweep import Sweep, load_sweep, sweep

__all__ += ["sweep", "Sweep", "load_sweep", "group_index", "gvd_ps_per_nm_km", "apply_bend",
            "bend_loss_db_per_90deg"]


class _StderrUnlessConfigured(logging.Handler):
    """Prints corvane's warnings to stderr while the application has no logging of its own
    (checked at each record, so configuring logging later takes over)."""

    def __init__(self):
        super().__init__(logging.WARNING)
        self.setFormatter(logging.Formatter("corvane %(levelname)s: %(message)s"))

    def emit(self, record: logging.LogRecord) -> None:
        owner = logging.getLogger("corvane")
        if logging.getLogger().handlers or any(
                h is not self and not isinstance(h, logging.NullHandler) for h in owner.handlers):
            return
        try:
            sys.stderr.write(self.format(record) + "\n")
        except Exception:  # noqa: BLE001 - a closed stderr must not break a solve
            self.handleError(record)


logging.getLogger("corvane").addHandler(_StderrUnlessConfigured())
