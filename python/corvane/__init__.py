"""corvane: finite-difference eigenmode solver for optical and microwave waveguides.

Describe a cross-section (`Structure` of shapes and materials, lengths in micrometres) and
call `solve(structure, wavelength, num_modes=...)` for a `ModeSet` of the physical modes,
highest effective index first. Conventions: docs/user_guide.md.
"""

from corvane import _core
from corvane import materials
from corvane.geometry import Ellipse, Layer, Polygon, Rectangle, Structure, rib, slot, strip
from corvane.budget import ProblemTooLarge, estimate
from corvane.grid import Grid, ResolutionWarning
from corvane.materials import Material
from corvane.modes import Mode, ModeSet, load
from corvane.sampling import SampledMaterials, sample_materials
from corvane.solve import PML, solve

__all__ = ["_core", "solve", "PML", "Mode", "ModeSet", "load"]
__all__ += ["materials", "Material", "Rectangle", "Polygon", "Ellipse", "Layer", "Structure",
            "strip", "rib", "slot", "Grid", "sample_materials", "SampledMaterials"]
__all__ += ["estimate", "ProblemTooLarge", "ResolutionWarning"]

# Workflows beyond one solve: sweeps with mode tracking, dispersion, bends.
from corvane.bend import apply_bend, bend_loss_db_per_90deg
from corvane.dispersion import group_index, gvd_ps_per_nm_km
from corvane.sweep import Sweep, load_sweep, sweep

__all__ += ["sweep", "Sweep", "load_sweep", "group_index", "gvd_ps_per_nm_km", "apply_bend",
            "bend_loss_db_per_90deg"]
