"""Solve the modes of a cross-section: `corvane.solve(structure, wavelength, ...)`.

The steps of one solve, each a small function below:

1. check every argument (ValueError/TypeError naming the argument and the fix);
2. build the grid (given, or `Grid.auto`), add the PML cells outside it and, when the
   structure has a mirror plane, keep only one half of the window;
3. sample the materials and fold the PML into them as a complex coordinate stretch;
4. ask the native solver for the modes nearest the largest index (or the guess), classify
   them, and ask again for more when too few physical ones came back;
5. unfold the half-window modes with their parity and return a `ModeSet`.

Conventions (lengths in micrometres, fields ~ exp(i(k0 neff z - omega t)), Im(neff) > 0 is
loss, the staggered grid) are described once in docs/user_guide.md.
"""

from __future__ import annotations

import itertools
import logging
import math
import numbers
import time
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass

import numpy as np

from corvane import _core

log = logging.getLogger("corvane")
log.addHandler(logging.NullHandler())  # silent unless the application configures logging

COMPONENTS = ("ex", "ey", "ez", "hx", "hy", "hz")
FORMULATIONS = ("auto", "diagonal", "tensorial")
SYMMETRIES = ("auto", "none", "x", "y", "xy")
# A mode is "physical" when it is one of these kinds; the others are artefacts of the window.
PHYSICAL_KINDS = ("guided", "leaky")
# Fractions of a mode's electric energy above which it counts as wall-bound or PML-absorbed.
WALL_FRACTION = 0.5
PML_FRACTION = 0.3
# A guided mode has at most this share of its energy in the PML (an evanescent tail).
GUIDED_PML_FRACTION = 0.05
# Im(neff) beyond the largest material loss index plus this is a PML mode whatever its energy.
PML_IMAG_MARGIN = 0.1
# Gain beyond this (Im(neff) < -PML_GAIN) in a structure without gain is the PML's doing.
PML_GAIN = 1e-4
MAX_REQUEST_ROUNDS = 3
# A mode whose Lorentz self-overlap (at unit power) is below this spoils the later modes that
# the native solver orthogonalises against it; see `_refine`.
RISKY_SELF_OVERLAP = 0.1
# eps and mu given to the electric-wall samples (None leaves them as sampled).
WALL_DETUNE = 1e-4


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


# ---------------------------------------------------------------------------------------------
# Argument checks: all of them run before any grid, sampling or native work.


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
    from corvane.geometry import Structure

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


def _check_window(structure, grid, pml: PML, wavelength: float):
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


def _check_sampled(eps: np.ndarray, mu: np.ndarray, formulation: str) -> bool:
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


# ---------------------------------------------------------------------------------------------
# Grid pieces: steps, PML cells, half windows.


def steps_of(edges: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """Forward steps (cell widths) and backward steps (between cell centres) of cell edges."""
    dlf = np.diff(edges)
    centres = 0.5 * (edges[:-1] + edges[1:])
    dlb = np.empty_like(dlf)
    dlb[0] = dlf[0]
    dlb[1:] = np.diff(centres)
    return dlf, dlb


def _padded(edges: np.ndarray, low: float, high: float) -> tuple[np.ndarray, int, int]:
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


def _half_edges(edges: np.ndarray, c: float) -> np.ndarray:
    """The edges at or above the mirror coordinate c, starting exactly at c."""
    h = np.min(np.diff(edges))
    upper = edges[edges > c + 0.3 * h]
    return np.concatenate([[c], upper])


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


# ---------------------------------------------------------------------------------------------
# The one adapter to the native solver.


@dataclass
class NativeResult:
    """What one native solve returns, as numpy arrays."""

    neffs: np.ndarray  # (M,) complex
    fields: np.ndarray  # (6, M, n) complex
    residuals: np.ndarray  # (M,)
    mode_powers: np.ndarray
    self_overlaps: np.ndarray
    max_cross_overlap: float
    backend: str
    operator_rows: int
    operator_nnz: int


def _as_pairs(values: np.ndarray) -> list[tuple[float, float]]:
    flat = np.ascontiguousarray(values, dtype=complex).ravel()
    return list(zip(flat.real.tolist(), flat.imag.tolist()))


def _complex(pairs) -> np.ndarray:
    a = np.asarray(pairs, dtype=float)
    if a.size == 0:
        return np.zeros(a.shape[:-1] if a.ndim > 1 else (0,), complex)
    return a[..., 0] + 1j * a[..., 1]


def _engine():
    try:
        from corvane import engine
    except ImportError:
        return None
    return engine if hasattr(engine, "solve_diagonal") else None


def run_native(*, tensorial: bool, x_edges: np.ndarray, y_edges: np.ndarray, pmc_x: bool,
               pmc_y: bool, eps: np.ndarray, mu: np.ndarray, num_modes: int, shift: float,
               wavelength: float, options: dict) -> NativeResult:
    """Solve on one grid with the PML already folded into eps and mu (3, 3, nx, ny).

    `shift` is the effective index the eigen search centres on. Derivatives are scaled by
    1/k0 so the eigenvalues are effective indices.
    """
    nx, ny = eps.shape[2:]
    dlf_x, dlb_x = steps_of(x_edges)
    dlf_y, dlb_y = steps_of(y_edges)
    k0 = 2.0 * math.pi / wavelength
    options = dict(options)
    options.setdefault("krylov_dim", max(32, 2 * num_modes + 8))
    engine = _engine()
    # Sweep reuse (corvane.sweep): start vector and workspace of this sub-problem from the
    # earlier points, and the count of operator applications.
    warm = options.pop("warm_start", None)
    warm_key = (bool(pmc_x), bool(pmc_y), int(nx), int(ny), bool(tensorial))
    if engine is not None:
        if warm is not None:
            options.update(warm.before(warm_key))
            shift = options.pop("shift", shift)
        solver = engine.solve_tensorial if tensorial else engine.solve_diagonal
        r = solver(nx=nx, ny=ny, dlf_x=dlf_x, dlf_y=dlf_y, dlb_x=dlb_x, dlb_y=dlb_y,
                   pmc_x=pmc_x, pmc_y=pmc_y, eps_tensor=eps.reshape(9, nx * ny),
                   mu_tensor=mu.reshape(9, nx * ny), num_modes=num_modes, neff_guess=shift,
                   direction="+", derivative_scale=1.0 / k0, **options)
        if warm is not None:
            warm.after(warm_key, r)
        return NativeResult(np.asarray(r.neffs), np.asarray(r.fields), np.asarray(r.residuals),
                            np.asarray(r.mode_powers), np.asarray(r.self_overlaps),
                            float(r.max_cross_overlap), r.backend, int(r.operator_rows),
                            int(r.operator_nnz))
    if "initial_vector" in options and options["initial_vector"] is not None:
        options["initial_vector"] = _as_pairs(options["initial_vector"])
    unknown = set(options) - {"krylov_dim", "initial_vector"}
    if unknown:
        raise TypeError(f"solve() got unknown solver options {sorted(unknown)}: the native "
                        f"solver takes krylov_dim and initial_vector")
    native = _core.solve_tensorial_sparse_py if tensorial else _core.solve_diagonal_sparse_py
    eps_flat = [_as_pairs(eps[r, c]) for r in range(3) for c in range(3)]
    mu_flat = [_as_pairs(mu[r, c]) for r in range(3) for c in range(3)]
    out = native(nx, ny, dlf_x.tolist(), dlf_y.tolist(), dlb_x.tolist(), dlb_y.tolist(),
                 bool(pmc_x), bool(pmc_y), eps_flat, mu_flat, num_modes, float(shift), "+",
                 derivative_scale=1.0 / k0, **options)
    neffs, fields, residuals, powers, overlaps, cross, backend, rows, nnz = out
    m = len(neffs)
    field_array = np.stack([_complex(f).reshape(m, nx * ny) for f in fields])
    return NativeResult(_complex(neffs).reshape(m), field_array,
                        np.asarray(residuals, float), np.asarray(powers, float),
                        _complex(overlaps).reshape(m), float(cross), backend, rows, nnz)


# ---------------------------------------------------------------------------------------------
# One sub-problem: a window (full or half) with its walls, solved and classified.


@dataclass(frozen=True)
class _Window:
    """The grid of one sub-problem and what its modes are judged against."""

    x_edges: np.ndarray
    y_edges: np.ndarray
    pmc_x: bool
    pmc_y: bool
    pml_cells: tuple[int, int, int, int]  # cells of PML at left, right, bottom, top
    parity: tuple  # (("x", "magnetic"|"electric"), ...) of the mirror walls of this half


def detune_walls(eps: np.ndarray, mu: np.ndarray, pmc_x: bool, pmc_y: bool):
    """Give the samples on electric low walls a tiny eps and mu (in place).

    Those samples (Ey, Ez, Hx on the x wall; Ex, Ez, Hy on the y wall) form a system of their
    own, decoupled from the interior, whose modes sit at neff = sqrt(eps mu) of the wall
    cells. With eps mu tiny they move to neff ~ 0, far from every guided mode, and stop
    taking the places of physical modes in the eigen search; no physical mode changes."""
    if WALL_DETUNE is None:
        return
    rows = []
    if not pmc_x:
        rows += [(eps, 1, np.s_[0, :]), (eps, 2, np.s_[0, :]), (mu, 0, np.s_[0, :])]
    if not pmc_y:
        rows += [(eps, 0, np.s_[:, 0]), (eps, 2, np.s_[:, 0]), (mu, 1, np.s_[:, 0])]
    for t, r, where in rows:
        for c in range(3):
            t[r, c][where] = WALL_DETUNE if c == r else 0


def _pml_mask(nx: int, ny: int, cells: tuple[int, int, int, int]) -> np.ndarray:
    mask = np.zeros((nx, ny), bool)
    left, right, bottom, top = cells
    mask[:left, :] = True
    mask[nx - right:, :] = True
    mask[:, :bottom] = True
    mask[:, ny - top:] = True
    return mask


def energy_fractions(fields: np.ndarray, areas: np.ndarray, pml_mask: np.ndarray,
                     pmc_x: bool, pmc_y: bool) -> tuple[np.ndarray, np.ndarray]:
    """Share of each mode's |E|^2 (area-weighted) on the electric low-wall samples and in the
    PML cells. `fields` is (6, M, nx, ny)."""
    e2 = np.abs(fields[0]) ** 2, np.abs(fields[1]) ** 2, np.abs(fields[2]) ** 2
    weighted = [e * areas for e in e2]
    total = sum(w.sum(axis=(1, 2)) for w in weighted)
    total = np.where(total > 0, total, 1.0)
    wall = np.zeros(fields.shape[1])
    if not pmc_x:  # Ey, Ez on the low x wall
        wall += weighted[1][:, 0, :].sum(axis=1) + weighted[2][:, 0, :].sum(axis=1)
    if not pmc_y:  # Ex, Ez on the low y wall
        wall += weighted[0][:, :, 0].sum(axis=1) + weighted[2][:, :, 0].sum(axis=1)
        if not pmc_x:
            wall -= weighted[2][:, 0, 0]
    pml = sum((w * pml_mask).sum(axis=(1, 2)) for w in weighted)
    return wall / total, pml / total


def classify(neffs: np.ndarray, wall_fraction: np.ndarray, pml_fraction: np.ndarray, *,
             cladding_index: float, loss_index: float, open_window: bool,
             passive: bool = True) -> list[str]:
    """Kind of each mode: "wall", "pml", "guided" or "leaky" (rules in docs/user_guide.md)."""
    kinds = []
    for neff, wall, pml in zip(neffs, wall_fraction, pml_fraction):
        if wall > WALL_FRACTION:
            kinds.append("wall")
        elif pml > PML_FRACTION or abs(neff.imag) > loss_index + PML_IMAG_MARGIN \
                or (passive and neff.imag < -PML_GAIN) or not np.isfinite(neff):
            kinds.append("pml")
        elif not open_window or (neff.real > cladding_index and pml < GUIDED_PML_FRACTION):
            kinds.append("guided")
        else:
            kinds.append("leaky")
    return kinds


def _refine(r, fields, wall, pml, kinds, native, fractions, kinds_of, loss_index):
    """Solve again, alone, each candidate physical mode that follows a mode of vanishing
    self-overlap in the native result, and take its fields from that solve (in place).

    The native solver orthogonalises every mode against all modes of higher Re(neff) with the
    coefficient overlap / self-overlap; PML modes have a self-overlap near zero, so a guided
    mode below them in Re(neff) comes back mixed with them. A solve for one mode at its own
    index has nothing to mix with."""
    risky = np.abs(r.self_overlaps) < RISKY_SELF_OVERLAP
    for k in range(len(r.neffs)):
        if not np.any(risky[:k]) or wall[k] > WALL_FRACTION \
                or abs(r.neffs[k].imag) > loss_index + PML_IMAG_MARGIN:
            continue
        target = r.neffs[k]
        again, again_fields = native(1, target.real)
        if len(again.neffs) != 1 or abs(again.neffs[0] - target) > 1e-6 * abs(target) + 1e-9:
            log.debug("refinement of mode at neff %s found %s instead; kept the first fields",
                      target, again.neffs)
            continue
        fields[:, k] = again_fields[:, 0]
        w, p = fractions(again_fields)
        wall[k], pml[k] = w[0], p[0]
        kinds[k] = kinds_of(again.neffs, w, p)[0]
        r.self_overlaps[k] = again.self_overlaps[0]


@dataclass(frozen=True)
class ModeSummary:
    """A mode the solver found but did not return (see `ModeSet.hidden`): its index, kind,
    mirror walls and energy fractions; `window` and `index` locate it in the solve."""

    neff: complex
    kind: str
    parity: tuple
    wall_fraction: float
    pml_fraction: float
    window: int = 0
    index: int = 0


@dataclass
class _Solved:
    neffs: np.ndarray
    fields: np.ndarray  # (6, M, nx, ny), physical (unstretched) fields on the sub-window
    kinds: list
    residuals: np.ndarray
    wall_fraction: np.ndarray
    pml_fraction: np.ndarray
    backend: str
    operator_rows: int
    native_seconds: float
    python_seconds: float


def _solve_window(win: _Window, eps, mu, *, tensorial, wavelength, num_modes, shift, guess,
                  include_all, stretch, cladding_index, loss_index, open_window, options,
                  passive=True):
    started = time.perf_counter()
    sx, sy = stretch
    nx, ny = len(win.x_edges) - 1, len(win.y_edges) - 1
    eps_s, mu_s = stretched_materials(eps, mu, sx, sy)
    detune_walls(eps_s, mu_s, win.pmc_x, win.pmc_y)
    areas = np.outer(np.diff(win.x_edges), np.diff(win.y_edges))
    mask = _pml_mask(nx, ny, win.pml_cells)
    unknowns = (4 if tensorial else 2) * nx * ny
    request = min(num_modes + max(4, num_modes), unknowns - 2)
    seconds = 0.0
    def fractions(fields):
        return energy_fractions(fields, areas, mask, win.pmc_x, win.pmc_y)

    def kinds_of(neffs, wall, pml):
        return classify(neffs, wall, pml, cladding_index=cladding_index, loss_index=loss_index,
                        open_window=open_window, passive=passive)

    engine = _engine()
    if engine is not None and "workspace" not in options:
        # Every solve of this window (more modes, one mode again) has one operator pattern.
        options = {**options, "workspace": engine.Workspace()}

    def native(count, at):
        nonlocal seconds
        start = time.perf_counter()
        r = run_native(tensorial=tensorial, x_edges=win.x_edges, y_edges=win.y_edges,
                       pmc_x=win.pmc_x, pmc_y=win.pmc_y, eps=eps_s, mu=mu_s, num_modes=count,
                       shift=at, wavelength=wavelength, options=options)
        seconds += time.perf_counter() - start
        fields = r.fields.reshape(6, len(r.neffs), nx, ny).copy()
        # Back from the stretched fields E'_x = sx Ex, ... to the physical ones.
        fields[0] /= sx[0][None, :, None]
        fields[1] /= sy[0][None, None, :]
        fields[3] /= sx[1][None, :, None]
        fields[4] /= sy[1][None, None, :]
        return r, fields

    for round_ in range(MAX_REQUEST_ROUNDS):
        r, fields = native(request, shift)
        m = len(r.neffs)
        wall, pml = fractions(fields)
        kinds = kinds_of(r.neffs, wall, pml)
        _refine(r, fields, wall, pml, kinds, native, fractions, kinds_of, loss_index)
        physical = sum(k in PHYSICAL_KINDS for k in kinds)
        log.debug("window %s: %d of %d modes physical (round %d)", win.parity, physical, m,
                  round_ + 1)
        # The eigen search returns every eigenvalue nearer the shift than its farthest one:
        # once that radius spans [cladding, shift], every guided mode of this window is here.
        if tensorial:
            radius, span = np.max(np.abs(r.neffs - shift)), shift - cladding_index
        else:
            radius, span = np.max(np.abs(r.neffs**2 - shift**2)), shift**2 - cladding_index**2
        scanned = open_window and guess is None and m > 0 and span > 0 and radius >= span
        if include_all or physical >= num_modes or scanned or request >= unknowns - 2:
            break
        request = min(2 * request, unknowns - 2)
    else:
        log.info("only %d physical modes found among %d (parity %s); give neff_guess to look "
                 "elsewhere", physical, m, win.parity)
    return _Solved(r.neffs, fields, kinds, r.residuals, wall, pml, r.backend, r.operator_rows,
                   seconds, time.perf_counter() - started - seconds)


# ---------------------------------------------------------------------------------------------
# Unfolding half-window modes to the full window.

# Parity of each component (ex, ey, ez, hx, hy, hz) under a mirror x -> -x behind a magnetic
# wall (tangential H = 0); an electric wall flips every sign. Same for y with the roles of the
# transverse components swapped.
_EVEN_X_MAGNETIC = np.array([-1, 1, 1, 1, -1, -1])
_EVEN_Y_MAGNETIC = np.array([1, -1, 1, -1, 1, -1])
# Components sampled on cell edges along x (Ey, Ez, Hx) and along y (Ex, Ez, Hy).
_ON_X_EDGES = np.array([False, True, True, True, False, False])
_ON_Y_EDGES = np.array([True, False, True, False, True, False])


def _unfold_axis(fields: np.ndarray, axis: int, signs: np.ndarray, on_edges: np.ndarray):
    """Mirror (6, M, n_a, n_b) fields across the low edge of `axis` (2 for x, 3 for y)."""
    parts = []
    for k in range(6):
        f = fields[k]
        mirrored = np.flip(f, axis=axis - 1) * signs[k]
        if on_edges[k]:
            # Samples at the mirrored edges: the outer wall sample (zero) then the mirror of
            # samples 1..n-1; the sample on the plane itself is shared.
            mirrored = np.roll(mirrored, 1, axis=axis - 1)
            index = [slice(None)] * f.ndim
            index[axis - 1] = 0
            mirrored[tuple(index)] = 0
        parts.append(np.concatenate([mirrored, f], axis=axis - 1))
    return np.stack(parts)


def unfold(fields: np.ndarray, parity: tuple, areas: np.ndarray) -> np.ndarray:
    """(6, M, nx, ny) fields of a half (or quarter) window mirrored across its walls
    `parity` (e.g. (("x", "electric"),)) and power-normalised over the full window of cell
    `areas`; unchanged without walls."""
    for ax, wall in parity:
        base = _EVEN_X_MAGNETIC if ax == "x" else _EVEN_Y_MAGNETIC
        signs = base if wall == "magnetic" else -base
        fields = _unfold_axis(fields, 2 if ax == "x" else 3, signs,
                              _ON_X_EDGES if ax == "x" else _ON_Y_EDGES)
    return power_normalise(fields, areas) if parity else fields


def _windows(xs, ys, cells, planes) -> list[_Window]:
    """The sub-problems: one, or one per wall type on each mirror plane."""
    walls = [[("x", True), ("x", False)] if "x" in planes else [None],
             [("y", True), ("y", False)] if "y" in planes else [None]]
    windows = []
    for wx, wy in itertools.product(*walls):
        parity = tuple((w[0], "magnetic" if w[1] else "electric") for w in (wx, wy)
                       if w is not None)
        windows.append(_Window(xs, ys, bool(wx and wx[1]), bool(wy and wy[1]), cells, parity))
    return windows


def _select(physical: list, num_modes: int, targets, neff_guess) -> list:
    """The physical modes to return, highest Re(neff) first: nearest each target index of a
    search over a substrate, nearest the guess, or simply the first ones."""
    if targets:
        picked = []
        for target in sorted(targets, reverse=True)[:num_modes]:
            rest = [r for r in physical if r not in picked]
            if rest:
                picked.append(min(rest, key=lambda r: abs(r.neff - target)))
        return [r for r in physical if r in picked]
    if neff_guess is not None:
        nearest = sorted(physical, key=lambda r: abs(r.neff - neff_guess))[:num_modes]
        return sorted(nearest, key=lambda r: -r.neff.real)
    return physical


def _mirror_edges(edges: np.ndarray) -> np.ndarray:
    c = edges[0]
    return np.concatenate([2 * c - edges[:0:-1], edges])


def power_normalise(fields: np.ndarray, areas: np.ndarray) -> np.ndarray:
    """Scale (6, M, nx, ny) fields so that |integral of (E x H*).z| = 1 for each mode."""
    s = np.sum(areas * (fields[0] * fields[4].conj() - fields[1] * fields[3].conj()), axis=(1, 2))
    p = np.abs(s)
    scale = np.where(p > 2.0**-52, 1.0 / np.sqrt(np.where(p > 0, p, 1.0)), 1.0)
    return fields * scale[None, :, None, None]


# ---------------------------------------------------------------------------------------------
# The public function.


def solve(structure, wavelength: float, *, num_modes: int = 1, grid=None, step=None,
          pml="auto", symmetry="auto", neff_guess=None, include_all: bool = False,
          formulation: str = "auto", bend_radius=None, **engine_options):
    """Modes of a waveguide cross-section, the highest effective index first.

    structure: a `corvane.geometry.Structure` (lengths in micrometres).
    wavelength: vacuum wavelength in micrometres.
    num_modes: number of physical (guided or leaky) modes to return.
    grid: a `corvane.grid.Grid` for the window; default `Grid.auto(structure, wavelength,
        step=step)`, which puts cell edges on the interfaces.
    step: the largest cell size in micrometres for the automatic grid.
    pml: thickness in micrometres added outside the window on every side, a `corvane.PML`
        with one thickness per side (and its strength), 0 for closed electric walls, or
        "auto" (half a wavelength on every side).
    symmetry: "auto" solves the two halves of a mirror-symmetric structure separately (with a
        magnetic and an electric wall on the plane) and unfolds them; "none" solves the
        whole window; "x", "y" or "xy" require those planes.
    neff_guess: search around this effective index instead of from the largest index down.
    include_all: also return wall-bound and PML modes (labelled by `Mode.kind`).
    formulation: "diagonal", "tensorial" or "auto" (tensorial only when a material has
        off-diagonal terms).
    bend_radius: bend radius in micrometres, applied to the sampled materials by
        `corvane.bend.apply_bend`; it breaks the mirror symmetry in x.
    engine_options: passed to the native solver (e.g. krylov_dim).

    Returns a `ModeSet` sorted by descending Re(neff). Raises ValueError or TypeError naming
    the argument and the fix before any native work.

    Example::

        import corvane
        from corvane.geometry import strip
        from corvane.materials import silicon, silica
        modes = corvane.solve(strip(width=0.5, height=0.22, core=silicon, cladding=silica),
                              wavelength=1.55, num_modes=2, step=0.02)
        print(modes.neff, [m.polarization for m in modes])
    """
    from corvane.modes import Mode, ModeContext, ModeSet

    t_start = time.perf_counter()
    timings: dict[str, float] = {}
    _check_structure(structure)
    wavelength = _check_wavelength(wavelength)
    step = _check_step(step)
    num_modes, neff_guess, symmetry, bend_radius = _check_options(
        num_modes, neff_guess, symmetry, formulation, include_all, bend_radius)
    pml = _check_pml(pml, wavelength)
    from corvane.grid import Grid

    if grid is not None and not isinstance(grid, Grid):
        raise TypeError(f"grid must be a corvane.grid.Grid or None, got {type(grid).__name__}")
    if grid is not None and step is not None:
        raise ValueError("give either grid= (a ready grid) or step= (for the automatic grid), "
                         "not both")
    settings = {"num_modes": num_modes, "grid": grid, "step": step, "pml": pml,
                "symmetry": symmetry, "neff_guess": neff_guess, "include_all": include_all,
                "formulation": formulation, "bend_radius": bend_radius, **engine_options}

    t = time.perf_counter()
    candidates = _structure_planes(structure, symmetry, bend_radius, pml)
    if grid is None:
        if step is None:
            step = wavelength / (20.0 * max(structure.max_index(wavelength), 1.0))
        grid = Grid.auto(structure, wavelength, step=step, mirror_x=candidates.get("x"),
                         mirror_y=candidates.get("y"))
    _check_window(structure, grid, pml, wavelength)
    x_edges, nl, nr = _padded(np.asarray(grid.x_edges, float), pml.left, pml.right)
    y_edges, nb, nt = _padded(np.asarray(grid.y_edges, float), pml.bottom, pml.top)
    planes = _mirror_planes(candidates, x_edges, y_edges, symmetry)
    timings["grid"] = time.perf_counter() - t

    # The sub-problem grid: the upper half along each mirror axis.
    xs = _half_edges(x_edges, planes["x"]) if "x" in planes else x_edges
    ys = _half_edges(y_edges, planes["y"]) if "y" in planes else y_edges
    cells = (0 if "x" in planes else nl, nr, 0 if "y" in planes else nb, nt)

    t = time.perf_counter()
    from corvane.sampling import sample_materials

    solve_grid = Grid(xs, ys)
    sampled = sample_materials(structure, solve_grid, wavelength)
    if bend_radius is not None:
        from corvane.bend import apply_bend

        sampled = apply_bend(sampled, solve_grid, bend_radius)
    eps = np.asarray(sampled.eps, complex)
    mu = np.asarray(sampled.mu, complex)
    diagonal = _check_sampled(eps, mu, formulation)
    tensorial = formulation == "tensorial" or (formulation == "auto" and not diagonal)
    timings["sampling"] = time.perf_counter() - t

    index = _local_index(eps, mu)
    inner = ~_pml_mask(*index.shape, cells)
    n_max = float(np.max(index.real[inner]))
    loss_index = float(np.max(np.abs(index.imag)))
    passive = bool(np.min(index.imag) >= 0)
    shift = neff_guess if neff_guess is not None else n_max
    a = pml.strength
    stretch = (stretch_factors(xs, pml.left if "x" not in planes else 0.0, pml.right, a, a,
                               pml.order),
               stretch_factors(ys, pml.bottom if "y" not in planes else 0.0, pml.top, a, a,
                               pml.order))
    cladding = _rim_index(index, eps, mu, cells, planes, xs, ys, stretch, wavelength, n_max,
                          tensorial)

    windows = _windows(xs, ys, cells, planes)

    # Two half windows run side by side, one core each; a single window gets both cores.
    window_options = dict(engine_options)
    if len(windows) > 1 and _engine() is not None:
        window_options.setdefault("threads", 1)

    def run_all(eps_, mu_, *, at, guess, cladding_, all_):
        def run(win):
            return _solve_window(win, eps_, mu_, tensorial=tensorial, wavelength=wavelength,
                                 num_modes=num_modes, shift=at, guess=guess, include_all=all_,
                                 stretch=stretch, cladding_index=cladding_,
                                 loss_index=loss_index, open_window=pml.any,
                                 passive=passive, options=window_options)

        if len(windows) > 1:
            with ThreadPoolExecutor(max_workers=2) as pool:
                return list(pool.map(run, windows))
        return [run(windows[0])]

    t = time.perf_counter()
    targets = None
    if neff_guess is None and pml.any:
        targets = _buried_guesses(index, eps, mu, cells, planes, cladding, n_max, run_all)
    if targets:
        # A high-index region reaching the PML (a substrate) fills every index up to its own
        # with radiation modes; search around the modes found with it lowered instead.
        log.info("high-index region on the window rim: searching near neff %s", targets)
        shift = max(targets)
    solved = run_all(eps, mu, at=shift, guess=shift if targets else neff_guess,
                     cladding_=cladding, all_=include_all)
    timings["native"] = sum(s.native_seconds for s in solved)
    timings["solve_wall"] = time.perf_counter() - t
    window_python = sum(s.python_seconds for s in solved)

    t = time.perf_counter()
    full_x = _mirror_edges(xs) if "x" in planes else xs
    full_y = _mirror_edges(ys) if "y" in planes else ys
    full_grid = Grid(full_x, full_y)
    areas = np.outer(np.diff(full_x), np.diff(full_y))
    full_cells = (nl, nr, nb, nt)
    context = ModeContext(grid=full_grid, structure=structure, wavelength=wavelength,
                          pml_mask=_pml_mask(len(full_x) - 1, len(full_y) - 1, full_cells),
                          inner_grid=grid, settings=settings)
    # Choose among light records first: only the chosen modes are unfolded and stored.
    records = [ModeSummary(complex(sv.neffs[k]), sv.kinds[k], win.parity,
                           float(sv.wall_fraction[k]), float(sv.pml_fraction[k]), w, k)
               for w, (win, sv) in enumerate(zip(windows, solved)) for k in range(len(sv.neffs))]
    records.sort(key=lambda r: -r.neff.real)
    physical = _select([r for r in records if r.kind in PHYSICAL_KINDS], num_modes, targets,
                       neff_guess)
    chosen = records if include_all else physical[:num_modes]
    built = {}
    for w, (win, sv) in enumerate(zip(windows, solved)):
        ks = [r.index for r in chosen if r.window == w]
        if not ks:
            continue
        fields = unfold(sv.fields[:, ks], win.parity, areas)
        for j, k in enumerate(ks):
            built[(w, k)] = Mode(
                neff=complex(sv.neffs[k]), ex=fields[0, j], ey=fields[1, j], ez=fields[2, j],
                hx=fields[3, j], hy=fields[4, j], hz=fields[5, j], kind=sv.kinds[k],
                parity=win.parity, residual=float(sv.residuals[k]),
                wall_fraction=float(sv.wall_fraction[k]),
                pml_fraction=float(sv.pml_fraction[k]), context=context)
    chosen_modes = tuple(built[(r.window, r.index)] for r in chosen)
    hidden = tuple(r for r in records if (r.window, r.index) not in built)
    timings["classification"] = time.perf_counter() - t
    timings["total"] = time.perf_counter() - t_start
    # Python work: everything outside the sub-problem solves, plus the array work inside them
    # (material stretching, field unstretching, energy fractions), summed over threads.
    timings["python"] = timings["total"] - timings["solve_wall"] + window_python
    log.info("solved %d x %d cells (%s, %d sub-problem%s, %s): %d physical of %d modes in "
             "%.3f s (native %.3f s)", len(full_x) - 1, len(full_y) - 1,
             "tensorial" if tensorial else "diagonal", len(windows),
             "s" if len(windows) > 1 else "", solved[0].backend, len(physical), len(records),
             timings["total"], timings["native"])
    return ModeSet(modes=chosen_modes, all_modes=chosen_modes, hidden=hidden, grid=full_grid,
                   structure=structure, wavelength=wavelength, settings=settings,
                   sampled=sampled, timings=timings, backend=solved[0].backend,
                   formulation="tensorial" if tensorial else "diagonal", cladding_index=cladding)


def _rim_region(index: np.ndarray, cells, planes, level: float) -> np.ndarray:
    """Cells of index >= level connected (4-neighbours) to the rim of the window inside the
    PML, mirror planes excluded. Returned on the whole sub-window, PML cells included."""
    left, right, bottom, top = cells
    nx, ny = index.shape
    high = index.real >= level * (1 - 1e-12)
    seed = np.zeros_like(high)
    seed[left, :] |= "x" not in planes
    seed[nx - right - 1, :] = True
    seed[:, bottom] |= "y" not in planes
    seed[:, ny - top - 1] = True
    region = seed & high
    while True:
        grown = region.copy()
        grown[1:] |= region[:-1]
        grown[:-1] |= region[1:]
        grown[:, 1:] |= region[:, :-1]
        grown[:, :-1] |= region[:, 1:]
        grown &= high
        if np.array_equal(grown, region):
            return region
        region = grown


def _buried_guesses(index, eps, mu, cells, planes, cladding, n_max, run_all) -> list[float]:
    """When the largest index reaches the rim (a substrate), the effective indices of the
    modes with that region lowered to the next index of the rim; else an empty list."""
    if cladding < n_max * (1 - 1e-9):
        return []
    region = _rim_region(index, cells, planes, cladding)
    left, right, bottom, top = cells
    nx, ny = index.shape
    rim = np.zeros_like(region)
    rim[left:nx - right, ny - top - 1] = True
    rim[nx - right - 1, bottom:ny - top] = True
    if "x" not in planes:
        rim[left, bottom:ny - top] = True
    if "y" not in planes:
        rim[left:nx - right, bottom] = True
    # Cells next to the region hold averages across its interface: leave two rows out.
    near = region.copy()
    for _ in range(2):
        grown = near.copy()
        grown[1:] |= near[:-1]
        grown[:-1] |= near[1:]
        grown[:, 1:] |= near[:, :-1]
        grown[:, :-1] |= near[:, 1:]
        near = grown
    lower = index.real[rim & ~near]
    if lower.size == 0:
        return []
    n_low = float(np.max(lower))
    eps_low, mu_low = eps.copy(), mu.copy()
    for r in range(3):
        for c in range(3):
            eps_low[r, c][region] = n_low**2 if r == c else 0
            mu_low[r, c][region] = 1.0 if r == c else 0
    inner_max = float(np.max(np.where(region, 0.0, index.real)))
    if inner_max <= n_low:
        return []
    solved = run_all(eps_low, mu_low, at=inner_max, guess=None, cladding_=n_low, all_=False)
    return sorted((float(n.real) for s in solved for n, k in zip(s.neffs, s.kinds)
                   if k in PHYSICAL_KINDS), reverse=True)


def _local_index(eps: np.ndarray, mu: np.ndarray) -> np.ndarray:
    """The largest sqrt(eps_ii mu_ii) (by real part) of each cell, (nx, ny) complex."""
    n = np.stack([np.sqrt(eps[i, i] * mu[i, i]) for i in range(3)])
    pick = np.argmax(n.real, axis=0)
    return np.take_along_axis(n, pick[None], axis=0)[0]


def _rim_index(index, eps, mu, cells, planes, xs, ys, stretch, wavelength, n_max,
               tensorial) -> float:
    """The index above which a mode cannot radiate through the rim of the window.

    For each side (mirror planes excluded) the rim line of cells is a one-dimensional
    cross-section: uniform, its index; layered (a slab reaching the edge), the largest of the
    effective index of its bound slab modes and the indices at its two ends (which reach the
    PML). The result is the largest over the sides."""
    left, right, bottom, top = cells
    nx, ny = index.shape
    sides = [("x", nx - right - 1)] + ([("x", left)] if "x" not in planes else [])
    sides += [("y", ny - top - 1)] + ([("y", bottom)] if "y" not in planes else [])
    best = 0.0
    for axis, k in sides:
        line = index[k, :] if axis == "x" else index[:, k]
        lo, hi = (bottom, ny - top) if axis == "x" else (left, nx - right)
        inner = line.real[lo:hi]
        # The ends that reach the PML or a wall; a mirror plane is not an end.
        value = float(inner[-1]) if ("y" if axis == "x" else "x") in planes \
            else float(max(inner[0], inner[-1]))
        if np.ptp(inner) > 1e-9 * inner.max():
            value = max(value, _slab_index(eps, mu, axis, k, xs, ys, stretch, wavelength,
                                           n_max, tensorial, planes))
        best = max(best, value)
    return best


def _slab_index(eps, mu, axis, k, xs, ys, stretch, wavelength, n_max, tensorial,
                planes) -> float:
    """Largest effective index of the bound modes of the rim line k (a column for axis "x",
    a row for "y") as a one-dimensional guide, both parities when the line ends on a mirror
    plane; 0 when it has none."""
    (sxf, sxb), (syf, syb) = stretch
    one = (np.ones(1, complex), np.ones(1, complex))
    if axis == "x":
        e, m = eps[:, :, k:k + 1, :], mu[:, :, k:k + 1, :]
        x_edges, y_edges = np.array([0.0, xs[k + 1] - xs[k]]), ys
        sx, sy = one, (syf, syb)
    else:
        e, m = eps[:, :, :, k:k + 1], mu[:, :, :, k:k + 1]
        x_edges, y_edges = xs, np.array([0.0, ys[k + 1] - ys[k]])
        sx, sy = (sxf, sxb), one
    e, m = stretched_materials(e, m, sx, sy)
    along = "y" if axis == "x" else "x"
    walls = (True, False) if along in planes else (False,)
    unknowns = (4 if tensorial else 2) * e.shape[2] * e.shape[3]
    bound = []
    for pmc in walls:
        pmc_x, pmc_y = (True, pmc) if axis == "x" else (pmc, True)
        e_w, m_w = e.copy(), m.copy()
        detune_walls(e_w, m_w, pmc_x, pmc_y)
        r = run_native(tensorial=tensorial, x_edges=x_edges, y_edges=y_edges, pmc_x=pmc_x,
                       pmc_y=pmc_y, eps=e_w, mu=m_w, num_modes=min(4, unknowns - 2),
                       shift=n_max, wavelength=wavelength, options={})
        bound += [n.real for n in r.neffs if abs(n.imag) < 1e-3 * abs(n)]
    return float(max(bound, default=0.0))


def _structure_planes(structure, symmetry: str, bend_radius, pml: PML) -> dict:
    """Mirror planes of the structure that the solve may split at: {"x": x0, "y": y0}."""
    if symmetry == "none":
        return {}
    planes = {}
    for ax, lo, hi in (("x", pml.left, pml.right), ("y", pml.bottom, pml.top)):
        if symmetry != "auto" and ax not in symmetry:
            continue
        c = structure.mirror_plane_x() if ax == "x" else structure.mirror_plane_y()
        reason = None
        if c is None:
            reason = "the structure has no mirror plane"
        elif ax == "x" and bend_radius is not None:
            reason = "a bend breaks the mirror symmetry in x"
        elif lo != hi:
            reason = "the PML differs on the two sides"
        if reason is None:
            planes[ax] = c
        elif symmetry != "auto":
            raise ValueError(f"symmetry={symmetry!r} needs a mirror plane normal to {ax}, but "
                             f"{reason}: use symmetry='auto' or 'none'")
    return planes


def _mirror_planes(candidates: dict, x_edges, y_edges, symmetry: str) -> dict:
    """The candidate planes about which the padded window is symmetric too."""
    planes = {}
    for ax, edges in (("x", x_edges), ("y", y_edges)):
        if ax not in candidates:
            continue
        if _edges_symmetric(edges, candidates[ax]):
            planes[ax] = candidates[ax]
        elif symmetry != "auto":
            raise ValueError(f"symmetry={symmetry!r} needs a window symmetric about the plane "
                             f"{ax} = {candidates[ax]:g}: build the grid with "
                             f"Grid.auto(..., mirror_{ax}=...) or use symmetry='auto'")
    return planes


def _edges_symmetric(edges: np.ndarray, c: float) -> bool:
    h = np.min(np.diff(edges))
    if abs((edges[0] + edges[-1]) / 2 - c) > 1e-6 * h:
        return False
    if np.min(np.abs(edges - c)) > 1e-6 * h:
        return False
    return np.allclose(edges, (2 * c - edges)[::-1], atol=1e-6 * h)
