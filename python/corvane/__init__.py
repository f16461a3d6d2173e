"""corvane: finite-difference eigenmode solver for optical and microwave waveguides.

`solve` takes numpy arrays and returns a `Modes` record; the native functions of
`corvane._core` (solve_diagonal_sparse_py, solve_tensorial_sparse_py,
has_umfpack_backend_py) take and return plain lists of (real, imag) tuples.
"""

from corvane import _core
from corvane import materials
from corvane.geometry import Ellipse, Layer, Polygon, Rectangle, Structure, rib, slot, strip
from corvane.grid import Grid
from corvane.materials import Material
from corvane.modes import Mode, ModeSet
from corvane.sampling import SampledMaterials, sample_materials
from corvane.solve import PML, solve

__all__ = ["_core", "Mode", "ModeSet", "PML", "solve"]
__all__ += ["materials", "Material", "Rectangle", "Polygon", "Ellipse", "Layer", "Structure",
            "strip", "rib", "slot", "Grid", "sample_materials", "SampledMaterials"]

# Workflows beyond one solve: sweeps with mode tracking, dispersion, bends.
from corvane.bend import apply_bend, bend_loss_db_per_90deg
from corvane.dispersion import group_index, gvd_ps_per_nm_km
from corvane.sweep import Sweep, load_sweep, sweep

__all__ += ["sweep", "Sweep", "load_sweep", "group_index", "gvd_ps_per_nm_km", "apply_bend",
            "bend_loss_db_per_90deg"]
