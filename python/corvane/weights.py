"""The dual cells of the staggered samples: the weight of each sample in a discrete integral.

Each field component sits at its own staggered position (docs/user_guide.md, "The grid"): a
sample on a cell centre owns its cell along that axis, a sample on a cell edge the span
between the centres on either side. Under these weights the discrete modes of one operator
are exactly Lorentz-orthogonal; plain cell areas are off by the grading of the cells.
"""

from __future__ import annotations

import numpy as np

COMPONENTS = ("ex", "ey", "ez", "hx", "hy", "hz")
# Whether a component sits on cell edges (True) or cell centres (False) along x and along y.
STAGGER = {
    "ex": (False, True), "ey": (True, False), "ez": (True, True),
    "hx": (True, False), "hy": (False, True), "hz": (False, False),
}


def _dual_widths(edges: np.ndarray, on_edges: bool) -> np.ndarray:
    """Widths of the dual cells of one staggering along one axis.

    A centred sample owns its cell. A sample on edge i owns the span between the centres on
    either side of it, and the one on the low wall only the half of that span inside the
    window: that half-width makes the backward difference the negative adjoint of the
    forward one at a magnetic wall."""
    widths = np.diff(np.asarray(edges, dtype=float))
    if not on_edges:
        return widths
    dual = np.empty_like(widths)
    dual[0] = 0.5 * widths[0]
    dual[1:] = 0.5 * (widths[:-1] + widths[1:])
    return dual


def component_weights(grid, component: str) -> np.ndarray:
    """Area (square micrometres) of the dual cell of every sample of `component`
    ("ex".."hz"), (nx, ny). The weights of one component sum to the window's area minus the
    half cells beyond the samples of the high edges."""
    if component not in STAGGER:
        raise ValueError(f"component must be one of {COMPONENTS}, got {component!r}")
    on_x, on_y = STAGGER[component]
    return np.outer(_dual_widths(grid.x_edges, on_x), _dual_widths(grid.y_edges, on_y))
