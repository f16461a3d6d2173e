"""Quantities computed from mode fields: interpolation, polarisation, effective area,
confinement, loss and the overlaps between modes (also on different grids).

Positions are in micrometres. Integrals of products of two components that share their
staggered position (E x H, |E|^2) weight each sample by the area of its own dual cell
(`component_weights`), the weights under which the discrete modes of one solve are exactly
orthogonal; integrals of cell-centred quantities use the cell areas (docs/user_guide.md,
"The grid").
"""

from __future__ import annotations

import math
from types import SimpleNamespace

import numpy as np
import shapely
from scipy import optimize, special
from scipy.interpolate import RegularGridInterpolator

from corvane.weights import COMPONENTS, STAGGER, component_weights

# Power decays as exp(-2 k0 Im(neff) z); 10 log10(exp(2)) = 20 / ln 10 dB per unit of k0 Im z.
DB_PER_NEPER = 20.0 / math.log(10.0)
# The smallest |Im(neff)| a solve resolves: below it, rounding in the eigen solve and the
# reflection of an evanescent tail at the PML (kept below it by the window) decide the sign.
# It is 0.00035 dB/cm at 1.55 um.
IMAG_FLOOR = 1e-9


def sample_coordinates(x_edges: np.ndarray, y_edges: np.ndarray, component: str):
    """The 1-D x and y coordinates (micrometres) of a component's samples."""
    on_x, on_y = STAGGER[component]
    xs = x_edges[:-1] if on_x else 0.5 * (x_edges[:-1] + x_edges[1:])
    ys = y_edges[:-1] if on_y else 0.5 * (y_edges[:-1] + y_edges[1:])
    return xs, ys


def interpolate(values: np.ndarray, xs: np.ndarray, ys: np.ndarray, x, y,
                window: tuple[float, float, float, float]) -> np.ndarray:
    """Bilinear interpolation of samples (len(xs), len(ys)) at points x, y (broadcast); zero
    outside the window (xmin, ymin, xmax, ymax), constant beyond the outermost samples."""
    x, y = np.broadcast_arrays(np.asarray(x, float), np.asarray(y, float))
    values = np.asarray(values)
    axes = []
    for k, coords in enumerate((np.asarray(xs, float), np.asarray(ys, float))):
        if len(coords) == 1:  # one sample: constant along this axis
            coords = np.array([coords[0], coords[0] + 1.0])
            values = np.concatenate([values, values], axis=k)
        axes.append(coords)
    inside = (x >= window[0]) & (x <= window[2]) & (y >= window[1]) & (y <= window[3])
    # Clamped points give the constant continuation beyond the outermost samples.
    points = np.stack([np.clip(x, axes[0][0], axes[0][-1]),
                       np.clip(y, axes[1][0], axes[1][-1])], axis=-1)
    v = RegularGridInterpolator(axes, values, method="linear")(points)
    return np.where(inside, v, 0)


def at_centres(values: np.ndarray, component: str) -> np.ndarray:
    """A component moved to the cell centres by averaging its neighbouring samples (the sample
    beyond the high edge counts as zero, as the electric wall there demands)."""
    on_x, on_y = STAGGER[component]
    v = values
    if on_x:
        nxt = np.concatenate([v[1:], np.zeros_like(v[:1])], axis=0)
        v = 0.5 * (v + nxt)
    if on_y:
        nxt = np.concatenate([v[:, 1:], np.zeros_like(v[:, :1])], axis=1)
        v = 0.5 * (v + nxt)
    return v


def cross_integral(e_mode, h_mode, grid, conjugate: bool = False) -> complex:
    """Integral of (E_a x H_b).z over the window of `grid`: sum of Ex Hy - Ey Hx, each
    product weighted by the dual cells of its pair. Ex and Hy share their positions, as do
    Ey and Hx, so no interpolation is needed."""
    hx, hy = h_mode.hx, h_mode.hy
    if conjugate:
        hx, hy = hx.conj(), hy.conj()
    return complex(np.sum(component_weights(grid, "ex") * e_mode.ex * hy)
                   - np.sum(component_weights(grid, "ey") * e_mode.ey * hx))


def te_fraction(mode) -> float:
    """Share of |Ex|^2 in the transverse electric energy, each weighted by its dual cells
    (1 for a pure TE, i.e. x-polarised, mode)."""
    ex = float(np.sum(component_weights(mode.grid, "ex") * np.abs(mode.ex) ** 2))
    ey = float(np.sum(component_weights(mode.grid, "ey") * np.abs(mode.ey) ** 2))
    return ex / (ex + ey) if ex + ey > 0 else 0.0


def polarization(te: float) -> str:
    """"TE" (mostly Ex), "TM" (mostly Ey) or "hybrid"."""
    if te >= 0.8:
        return "TE"
    if te <= 0.2:
        return "TM"
    return "hybrid"


def _areas(grid) -> np.ndarray:
    return np.outer(np.diff(np.asarray(grid.x_edges)), np.diff(np.asarray(grid.y_edges)))


def electric_intensity(mode) -> np.ndarray:
    """|E|^2 at the cell centres, (nx, ny)."""
    return sum(np.abs(at_centres(getattr(mode, c), c)) ** 2 for c in ("ex", "ey", "ez"))


def poynting_z(mode) -> np.ndarray:
    """Time-averaged power flux Re(E x H*).z / 2 at the cell centres, (nx, ny)."""
    ex, ey = at_centres(mode.ex, "ex"), at_centres(mode.ey, "ey")
    hx, hy = at_centres(mode.hx, "hx"), at_centres(mode.hy, "hy")
    return 0.5 * np.real(ex * hy.conj() - ey * hx.conj())


def effective_area(mode) -> float:
    """(integral |E|^2)^2 / integral |E|^4 in square micrometres."""
    i = electric_intensity(mode)
    areas = _areas(mode.grid)
    den = float(np.sum(areas * i**2))
    return float(np.sum(areas * i)) ** 2 / den if den > 0 else 0.0


def fill_fractions(grid, region) -> np.ndarray:
    """Share of each cell's area inside `region`: a shape of corvane.geometry (anything with
    `to_shapely(window_bounds)`), a shapely geometry, or bounds (xmin, ymin, xmax, ymax)."""
    xe, ye = np.asarray(grid.x_edges), np.asarray(grid.y_edges)
    if isinstance(region, (tuple, list)) and len(region) == 4:
        x0, y0, x1, y1 = (float(v) for v in region)
        fx = (np.clip(xe[1:], x0, x1) - np.clip(xe[:-1], x0, x1)) / np.diff(xe)
        fy = (np.clip(ye[1:], y0, y1) - np.clip(ye[:-1], y0, y1)) / np.diff(ye)
        return np.outer(fx, fy)
    window = (xe[0], ye[0], xe[-1], ye[-1])
    geom = region.to_shapely(window) if hasattr(region, "to_shapely") else region
    if not isinstance(geom, shapely.Geometry):
        raise TypeError("region must be a shape, a shapely geometry or bounds "
                        f"(xmin, ymin, xmax, ymax) in micrometres, got {type(region).__name__}")
    X0, Y0 = np.meshgrid(xe[:-1], ye[:-1], indexing="ij")
    X1, Y1 = np.meshgrid(xe[1:], ye[1:], indexing="ij")
    cells = shapely.box(X0, Y0, X1, Y1)
    shapely.prepare(geom)
    inter = shapely.area(shapely.intersection(cells, geom))
    return inter / ((X1 - X0) * (Y1 - Y0))


def confinement(mode, region) -> float:
    """Share of the mode's power flux Re(E x H*).z inside `region` (see `fill_fractions`)."""
    s = poynting_z(mode) * _areas(mode.grid)
    total = float(np.sum(s))
    return float(np.sum(s * fill_fractions(mode.grid, region))) / total if total else 0.0


def loss_db_per_cm(neff: complex, wavelength: float) -> float:
    """Power loss in dB/cm from Im(neff) (positive Im(neff) is loss), wavelength in um."""
    k0 = 2.0 * math.pi / wavelength  # 1/um
    return DB_PER_NEPER * k0 * neff.imag * 1e4


def imag_floor(neff: complex, residual: float = 0.0) -> float:
    """The |Im(neff)| below which a mode's loss is not resolved: `IMAG_FLOOR`, or the
    eigenvalue error a relative residual `residual` allows, whichever is larger."""
    return max(IMAG_FLOOR, float(residual) * abs(neff))


def _resampled(mode, grid):
    """The mode's transverse components at the sample positions of another grid."""
    xe, ye = np.asarray(grid.x_edges), np.asarray(grid.y_edges)
    values = {}
    for c in ("ex", "ey", "hx", "hy"):
        X, Y = np.meshgrid(*sample_coordinates(xe, ye, c), indexing="ij")
        values[c] = mode.field(c, X, Y)
    return SimpleNamespace(**values)


def _same_grid(a, b) -> bool:
    ga, gb = a.grid, b.grid
    return (np.shape(ga.x_edges) == np.shape(gb.x_edges)
            and np.shape(ga.y_edges) == np.shape(gb.y_edges)
            and np.allclose(ga.x_edges, gb.x_edges) and np.allclose(ga.y_edges, gb.y_edges))


def overlap(a, b) -> complex:
    """Normalised unconjugated (reciprocity) overlap of two modes,
    (1/2) integral (Ea x Hb + Eb x Ha).z / sqrt(integral Ea x Ha . integral Eb x Hb).

    It is 1 for a mode with itself (up to the sign of the square root: the result is returned
    with a non-negative real part) and 0 between two different modes of one lossless guide.
    Mode b is interpolated onto a's grid when the grids differ."""
    bb = b if _same_grid(a, b) else _resampled(b, a.grid)
    ab = 0.5 * (cross_integral(a, bb, a.grid) + cross_integral(bb, a, a.grid))
    norm = np.sqrt(cross_integral(a, a, a.grid) * _self(b))
    value = ab / norm if norm != 0 else 0j
    return -value if value.real < 0 else value


def _self(mode) -> complex:
    return cross_integral(mode, mode, mode.grid)


def power_coupling(a, b) -> float:
    """Fraction of the power of mode b coupled into mode a at a butt joint,
    Re[(integral Ea x Hb*)(integral Eb x Ha*) / integral Ea x Ha*] / Re integral Eb x Hb*.
    It is 1 for a mode with itself; b is interpolated onto a's grid when the grids differ."""
    bb = b if _same_grid(a, b) else _resampled(b, a.grid)
    p_ab = cross_integral(a, bb, a.grid, conjugate=True)
    p_ba = cross_integral(bb, a, a.grid, conjugate=True)
    p_aa = cross_integral(a, a, a.grid, conjugate=True)
    p_bb = cross_integral(b, b, b.grid, conjugate=True)
    if p_aa == 0 or p_bb.real == 0:
        return 0.0
    return float(np.real(p_ab * p_ba / p_aa) / p_bb.real)


# --- coupling to free-space beams and fibres ----------------------------------------------
# A beam or fibre mode is a scalar field g(x, y) polarised along the transverse direction p.
# Its power coupling into a mode is the overlap of the mode's transverse electric field,
# eta = |integral E_t . p g* dA|^2 / (integral |E_t|^2 dA  integral |g|^2 dA): the butt-joint
# efficiency in the paraxial (weak-guidance) limit, where H = (n / Z0) z x E for both.
# With polarization=None p is the best polarisation, the one along the projected field.


def _beam_coupling(mode, profile, polarization) -> float:
    """eta of the scalar beam profile(X, Y) (micrometres) into the mode (see above)."""
    if polarization not in (None, "x", "y"):
        raise ValueError(f"polarization must be None (the best), 'x' or 'y'; got {polarization!r}")
    xe, ye = np.asarray(mode.grid.x_edges), np.asarray(mode.grid.y_edges)
    projections, mode_power, beam_power = [], 0.0, []
    for c in ("ex", "ey"):
        X, Y = np.meshgrid(*sample_coordinates(xe, ye, c), indexing="ij")
        w = component_weights(mode.grid, c)
        g = profile(X, Y)
        field = np.asarray(getattr(mode, c))
        projections.append(complex(np.sum(w * field * np.conj(g))))
        mode_power += float(np.sum(w * np.abs(field) ** 2))
        beam_power.append(float(np.sum(w * np.abs(g) ** 2)))
    if mode_power == 0:
        return 0.0
    if polarization is None:
        # The best polarisation lies along (ax, ay); each projection is normalised by the
        # beam's norm on that component's own samples.
        return (abs(projections[0]) ** 2 / beam_power[0] + abs(projections[1]) ** 2
                / beam_power[1]) / mode_power
    k = 0 if polarization == "x" else 1
    return abs(projections[k]) ** 2 / (beam_power[k] * mode_power)


def coupling_to_gaussian(mode, waist, center=(0.0, 0.0), *, polarization=None) -> float:
    """Power coupling efficiency (0..1) of a Gaussian beam focused on the mode's facet.

    waist: the beam's 1/e field radius (1/e^2 intensity radius) at its focus in micrometres,
    one number or (wx, wy); center: (x, y) of the beam axis in micrometres; polarization:
    "x", "y" or None for the best one. The overlap is taken with the transverse electric
    field (paraxial butt coupling; see the comment above), so a mode that is itself a
    Gaussian of waist w1 couples (2 w1 w2 / (w1^2 + w2^2)) per axis to a beam of waist w2.

    Example: ``corvane.analysis.coupling_to_gaussian(modes[0], waist=1.5)``
    """
    wx, wy = np.broadcast_to(np.asarray(waist, float), (2,))
    if not (wx > 0 and wy > 0 and np.isfinite(wx) and np.isfinite(wy)):
        raise ValueError(f"waist must be positive (micrometres), got {waist!r}")
    x0, y0 = (float(v) for v in center)
    return _beam_coupling(
        mode, lambda X, Y: np.exp(-((X - x0) / wx) ** 2 - ((Y - y0) / wy) ** 2), polarization)


def fibre_lp01(core_radius: float, core_index: float, cladding_index: float,
               wavelength: float):
    """The LP01 mode of a step-index fibre in the weak-guidance (scalar) approximation:
    returns (u, w, profile) with u^2 + w^2 = V^2, V = k0 a sqrt(n1^2 - n2^2), and profile(r)
    = J0(u r / a) / J0(u) in the core, K0(w r / a) / K0(w) outside (r in micrometres),
    from the eigenvalue equation u J1(u) / J0(u) = w K1(w) / K0(w)."""
    a, n1, n2 = float(core_radius), float(core_index), float(cladding_index)
    if not a > 0:
        raise ValueError(f"core_radius must be positive (micrometres), got {core_radius!r}")
    if not n1 > n2 > 0:
        raise ValueError(f"core_index must exceed cladding_index > 0, got {core_index!r} and "
                         f"{cladding_index!r}")
    v = 2.0 * math.pi / wavelength * a * math.sqrt(n1 ** 2 - n2 ** 2)

    def mismatch(u):
        w = math.sqrt(v * v - u * u)
        return u * special.j1(u) / special.j0(u) - w * special.k1(w) / special.k0(w)

    # LP01 has 0 < u < min(V, 2.405) (the first zero of J0), where the mismatch changes sign.
    top = min(v, special.jn_zeros(0, 1)[0]) * (1 - 1e-12)
    u = optimize.brentq(mismatch, 1e-9 * top, top, xtol=1e-14)
    w = math.sqrt(v * v - u * u)

    def profile(r):
        r = np.asarray(r, float) / a
        inside = special.j0(u * np.minimum(r, 1.0)) / special.j0(u)
        outside = special.k0(w * np.maximum(r, 1.0)) / special.k0(w)
        return np.where(r <= 1.0, inside, outside)

    return u, w, profile


def coupling_to_fibre(mode, core_radius, core_index, cladding_index, center=(0.0, 0.0), *,
                      polarization=None) -> float:
    """Power coupling efficiency (0..1) of a step-index fibre's fundamental mode butted
    against the mode's facet, at the mode's wavelength.

    core_radius in micrometres; core_index, cladding_index refractive indices; center: (x,
    y) of the fibre axis in micrometres; polarization: "x", "y" or None for the best one.
    The fibre mode is LP01 of the scalar (weak-guidance) Bessel solution, `fibre_lp01`,
    accurate for fibres of small index contrast such as standard single-mode fibre.

    Example: ``coupling_to_fibre(modes[0], core_radius=4.1, core_index=1.4504,
    cladding_index=1.4447)``
    """
    _, _, profile = fibre_lp01(core_radius, core_index, cladding_index, mode.wavelength)
    x0, y0 = (float(v) for v in center)
    return _beam_coupling(mode, lambda X, Y: profile(np.hypot(X - x0, Y - y0)), polarization)
