"""The order of the discretisation error a corner leaves.

Near the tip of a wedge of permittivity eps1 and opening alpha in a medium eps2, the field
behaves as r^(nu - 1), nu the smallest positive root of the quasi-static wedge problem. With
the potential r^nu f(theta), continuity of f and of eps df/dtheta across both faces gives,
for f even about the wedge's bisector,

    eps1 tan(nu alpha / 2) = -eps2 tan(nu (pi - alpha / 2)),

and for f odd the same with cot. Such a field spoils a second-order scheme's error with a
term ~ h^(2 nu): 1.54 for silicon in silica, 1.44 in air, 1.80 for silicon nitride in
silica at right angles, the orders fitted to series of grids split up to 32 times
(docs/grid.md). A re-entrant corner (alpha = 3 pi / 2) gives the same nu as the right angle
it complements; infinite contrast (a metal) gives nu = 2/3.
"""

from __future__ import annotations

import math

import numpy as np
from scipy import optimize

from corvane.geometry import Ellipse, Polygon, Rectangle


def singular_exponent(alpha: float, contrast: float) -> float:
    """The smallest nu in (0, 1] of a wedge of opening `alpha` (radians) and permittivity
    `contrast` times that around it (1 when the field is not singular)."""
    if contrast == 1.0 or abs(alpha - math.pi) < 1e-9:
        return 1.0
    e1, e2 = contrast, 1.0

    def even(nu):
        return e1 * math.sin(nu * alpha / 2) * math.cos(nu * (math.pi - alpha / 2)) + \
            e2 * math.sin(nu * (math.pi - alpha / 2)) * math.cos(nu * alpha / 2)

    def odd(nu):
        return e1 * math.cos(nu * alpha / 2) * math.sin(nu * (math.pi - alpha / 2)) + \
            e2 * math.cos(nu * (math.pi - alpha / 2)) * math.sin(nu * alpha / 2)

    # Both branches, multiplied out of their tangents so they have no poles; nu = 1 is not a
    # root unless the field is regular.
    grid = np.linspace(1e-3, 1.0, 2001)
    best = 1.0
    for f in (even, odd):
        values = [f(x) for x in grid]
        for a, b, fa, fb in zip(grid[:-1], grid[1:], values[:-1], values[1:]):
            if fa == 0.0:
                best = min(best, a)
                break
            if fa * fb < 0:
                best = min(best, optimize.brentq(f, a, b, xtol=1e-12))
                break
    return float(best)


def corner_order(structure, wavelength: float) -> float | None:
    """The order 2 nu of the slowest corner term of the structure's error, or None when it
    has no corner below order 2, or when the wedge problem does not describe its corners
    (curved interfaces, anisotropic materials, or a permittivity with Re <= 0)."""
    eps = []
    for material in structure.materials():
        tensor = np.asarray(material.eps_tensor(wavelength), complex)
        if np.any(np.abs(tensor - tensor[0, 0] * np.eye(3)) > 1e-12 * abs(tensor[0, 0])):
            return None
        eps.append(tensor[0, 0].real)
    if min(eps) <= 0:
        return None
    contrast = max(eps) / min(eps)
    angles = []
    for shape in structure.shapes:
        if isinstance(shape, Ellipse):
            return None
        if isinstance(shape, Rectangle):
            angles.append(math.pi / 2)
        elif isinstance(shape, Polygon):
            angles += _interior_angles(np.asarray(shape.vertices, float))
    orders = [2 * singular_exponent(a, contrast) for a in angles]
    order = min(orders, default=2.0)
    return order if order < 1.95 else None


def _interior_angles(vertices: np.ndarray) -> list[float]:
    """The angles (radians, between 0 and 2 pi) at the vertices of a polygon that are not
    straight."""
    out = []
    n = len(vertices)
    for k in range(n):
        a, b, c = vertices[k - 1], vertices[k], vertices[(k + 1) % n]
        u, v = a - b, c - b
        angle = math.atan2(u[0] * v[1] - u[1] * v[0], float(u @ v)) % (2 * math.pi)
        if abs(angle - math.pi) > 1e-9:
            out.append(min(angle, 2 * math.pi - angle))
    return out
