"""Perfectly matched layers: the `PML` record, the cells it adds outside the window and the
complex coordinate stretch it folds into the materials.

In: a `PML` (thicknesses in micrometres per side, strength, order) and the window's cell
edges. Out: padded edges with the PML cell counts per side, the stretch factors of each axis,
the stretched (uniaxial PML) material tensors, and the mask of the PML cells.
"""

from __future__ import annotations

import math
from dataclasses import dataclass

import numpy as np


@dataclass(frozen=True)
class PML:
    """Perfectly matched layers added outside the window, one thickness per side (micrometres).

    The layer is a complex coordinate stretch s(d) = 1 + i * strength * d**order, d the depth
    into the layer from 0 (inner edge) to 1 (outer edge). Its strength depends neither on the
    grid step nor on the materials. A plane wave of transverse index n_t crossing the layer
    and back is reflected by about exp(-2 k0 n_t strength thickness / (order + 1)): thicken
    the layer, not the strength, to absorb more (a strength much above 2 brings PML-bound
    modes up among the guided ones).

    Example: ``corvane.PML(bottom=1.0, left=0.5, right=0.5)`` absorbs below a buried oxide and
    on both sides, with a closed (electric) wall at the top.
    """

    left: float = 0.0
    right: float = 0.0
    bottom: float = 0.0
    top: float = 0.0
    strength: float = 2.0
    order: int = 2

    @classmethod
    def uniform(cls, thickness: float, **options) -> "PML":
        """The same thickness (micrometres) on all four sides."""
        return cls(left=thickness, right=thickness, bottom=thickness, top=thickness, **options)

    @property
    def sides(self) -> tuple[float, float, float, float]:
        """Thicknesses (left, right, bottom, top) in micrometres."""
        return (self.left, self.right, self.bottom, self.top)

    @property
    def any(self) -> bool:
        return any(t > 0 for t in self.sides)

    def reflection(self, thickness: float, wavelength: float, index: float = 1.0) -> float:
        """Round-trip reflection of a plane wave of transverse index `index` at normal
        incidence on a layer `thickness` micrometres thick (wavelength in micrometres)."""
        k0 = 2.0 * math.pi / wavelength
        return math.exp(-2.0 * k0 * index * self.strength * thickness / (self.order + 1))

    def to_dict(self) -> dict:
        return {"left": self.left, "right": self.right, "bottom": self.bottom, "top": self.top,
                "strength": self.strength, "order": self.order}

    @classmethod
    def from_dict(cls, d: dict) -> "PML":
        return cls(**d)


def padded(edges: np.ndarray, low: float, high: float) -> tuple[np.ndarray, int, int]:
    """Edges with `low` and `high` micrometres of cells of the boundary step added outside."""
    parts, counts = [edges], []
    for thickness, h, sign in ((low, edges[1] - edges[0], -1), (high, edges[-1] - edges[-2], 1)):
        n = int(math.ceil(thickness / h - 1e-9)) if thickness > 0 else 0
        counts.append(n)
        if n:
            step = thickness / n
            anchor = edges[0] if sign < 0 else edges[-1]
            new = anchor + sign * step * np.arange(1, n + 1)
            parts.insert(0 if sign < 0 else len(parts), new[::-1] if sign < 0 else new)
    return np.concatenate(parts), counts[0], counts[1]


def pml_mask(nx: int, ny: int, cells: tuple[int, int, int, int]) -> np.ndarray:
    """(nx, ny) mask of the PML cells, `cells` of them at the left, right, bottom and top."""
    mask = np.zeros((nx, ny), bool)
    left, right, bottom, top = cells
    mask[:left, :] = True
    mask[nx - right:, :] = True
    mask[:, :bottom] = True
    mask[:, ny - top:] = True
    return mask


def stretch_factors(edges: np.ndarray, low: float, high: float, a_low: float, a_high: float,
                    order: int) -> tuple[np.ndarray, np.ndarray]:
    """Complex stretch factors of one axis: (forward rows at cell centres, backward rows at
    cell edges), s = 1 + i a d**order in the layers [edges[0], edges[0] + low] and
    [edges[-1] - high, edges[-1]]."""
    centres = 0.5 * (edges[:-1] + edges[1:])
    nodes = edges[:-1]

    def s(x):
        out = np.ones(x.shape, complex)
        if low > 0:
            d = np.clip((edges[0] + low - x) / low, 0, 1)
            out += 1j * a_low * d**order * (x < edges[0] + low)
        if high > 0:
            d = np.clip((x - (edges[-1] - high)) / high, 0, 1)
            out += 1j * a_high * d**order * (x > edges[-1] - high)
        return out

    return s(centres), s(nodes)


def stretched_materials(eps: np.ndarray, mu: np.ndarray, sx: tuple, sy: tuple):
    """Fold a coordinate stretch into the materials (a uniaxial PML).

    Dividing each derivative row by s at its own position is the same, on the staggered grid,
    as the material eps'_ab = eps_ab sx sy / (s_a s_b) (s_z = 1) with the scaled fields
    E'_x = sx Ex, E'_y = sy Ey, H'_x = sx Hx, H'_y = sy Hy. Each row r takes sx, sy at the
    position of field r: Ex, Hy at (centre, edge); Ey, Hx at (edge, centre); Ez at (edge, edge);
    Hz at (centre, centre).
    """
    sxf, sxb = sx
    syf, syb = sy
    at = {
        "ex": (sxf[:, None], syb[None, :]), "ey": (sxb[:, None], syf[None, :]),
        "ez": (sxb[:, None], syb[None, :]), "hx": (sxb[:, None], syf[None, :]),
        "hy": (sxf[:, None], syb[None, :]), "hz": (sxf[:, None], syf[None, :]),
    }
    out = []
    for tensor, rows in ((eps, ("ex", "ey", "ez")), (mu, ("hx", "hy", "hz"))):
        t = np.array(tensor, dtype=complex, copy=True)
        for r, comp in enumerate(rows):
            sxr, syr = at[comp]
            s_axis = (sxr, syr, 1.0)
            for c in range(3):
                if r == c or np.any(t[r, c] != 0):
                    t[r, c] = t[r, c] * (sxr * syr) / (s_axis[r] * s_axis[c])
        out.append(t)
    return out[0], out[1]
