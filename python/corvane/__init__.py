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
from corvane.modes import Modes, dual_steps, material_tensor, solve

__all__ = ["_core", "Modes", "dual_steps", "material_tensor", "solve"]
__all__ += ["materials", "Material", "Rectangle", "Polygon", "Ellipse", "Layer", "Structure",
            "strip", "rib", "slot", "Grid"]
