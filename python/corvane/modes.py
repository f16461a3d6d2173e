"""Results of `corvane.solve`: `ModeSet`, a sequence of `Mode` records, and `load`, which
reads them back from a file written by `save` (`corvane.io`).

A `Mode` owns its six field components as (nx, ny) complex arrays on the staggered grid
(docs/user_guide.md) and offers the analysis of `corvane.analysis` as methods. Fields are
power-normalised (|integral of (E x H*).z| = 1) with the largest electric sample real and
positive; H is in units of E / Z0 scaled as the native solver returns it.
"""

from __future__ import annotations

import dataclasses
from collections.abc import Sequence
from dataclasses import dataclass, field
from functools import cached_property

import numpy as np

from corvane import analysis, dispersion, export, io, plot
from corvane.geometry import Structure
from corvane.grid import Grid
from corvane.labels import assign as assign_labels, symmetry_words
from corvane.plot import format_neff

COMPONENTS = analysis.COMPONENTS


@dataclass(frozen=True)
class ModeContext:
    """What the modes of one solve share: the full window's grid (micrometres), the structure,
    the vacuum wavelength (micrometres), which cells are PML, the grid without PML and the
    solve settings (the keywords of `corvane.solve`)."""

    grid: object
    structure: object
    wavelength: float
    pml_mask: np.ndarray
    inner_grid: object = None
    settings: dict = field(default_factory=dict)


@dataclass(frozen=True, eq=False)
class Mode:
    """One mode: effective index, the six field components (nx, ny) and its classification.

    kind: "guided" (above the cladding index, not in the PML), "leaky" (radiating into a PML
    or below the cladding index), "pml" (absorbed by the PML), "wall" (bound to the
    samples of an electric wall), "box" (of the closed box around a guide) or "unconverged"
    (residual above 1e-6); only guided and leaky modes are returned by default. parity: the
    walls of the mirror planes of its half-window solve, e.g. (("x", "electric"),), empty
    when the whole window was solved. label: its name from polarisation and order, e.g.
    "TE0", "TM1", "hybrid0", or "TE10" in a metal guide (`corvane.labels`); set by the
    `ModeSet` that holds it. neff_error: the estimated absolute error of neff when it was
    extrapolated from a series of grids (`corvane.solve(..., accuracy=)` or the default),
    None for a solve on one grid.

    Example::

        m = modes[0]
        print(m.neff, m.polarization, m.effective_area, m.loss_db_per_cm)
        m.plot()
    """

    neff: complex
    ex: np.ndarray
    ey: np.ndarray
    ez: np.ndarray
    hx: np.ndarray
    hy: np.ndarray
    hz: np.ndarray
    kind: str = "guided"
    parity: tuple = ()
    residual: float = 0.0
    wall_fraction: float = 0.0
    pml_fraction: float = 0.0
    context: ModeContext | None = field(default=None, repr=False)
    label: str = ""
    neff_error: float | None = None

    def __post_init__(self):
        for c in COMPONENTS:
            a = np.asarray(getattr(self, c))
            a.flags.writeable = False
            object.__setattr__(self, c, a)

    def __repr__(self) -> str:
        return (f"Mode({self.label or '?'}, neff={format_neff(self.neff)}, kind={self.kind!r}, "
                f"symmetry={self.symmetry!r})")

    @property
    def grid(self):
        """The `corvane.grid.Grid` the fields live on (full window, PML included)."""
        return self.context.grid

    @property
    def wavelength(self) -> float:
        """Vacuum wavelength in micrometres."""
        return self.context.wavelength

    @property
    def structure(self):
        return self.context.structure

    @property
    def settings(self) -> dict:
        """The keywords of the `corvane.solve` call that produced this mode."""
        return self.context.settings

    @property
    def is_physical(self) -> bool:
        return self.kind in ("guided", "leaky")

    def component(self, name: str) -> np.ndarray:
        """One of "ex", "ey", "ez", "hx", "hy", "hz" on its staggered positions, (nx, ny)."""
        key = str(name).lower()
        if key not in COMPONENTS:
            raise ValueError(f"component must be one of {COMPONENTS}, got {name!r}")
        return getattr(self, key)

    def field(self, component: str, x, y) -> np.ndarray:
        """A component, or "e" / "h" for |E| / |H|, interpolated (bilinear) at points x, y in
        micrometres (arrays broadcast together); zero outside the window.

        Example: ``X, Y = np.meshgrid(xs, ys, indexing="ij"); ey = mode.field("ey", X, Y)``
        """
        key = str(component).lower()
        xe, ye = np.asarray(self.grid.x_edges), np.asarray(self.grid.y_edges)
        window = (xe[0], ye[0], xe[-1], ye[-1])
        if key in ("e", "h"):
            names = ("ex", "ey", "ez") if key == "e" else ("hx", "hy", "hz")
            return np.sqrt(sum(np.abs(self.field(n, x, y)) ** 2 for n in names))
        values = self.component(key)
        xs, ys = analysis.sample_coordinates(xe, ye, key)
        return analysis.interpolate(values, xs, ys, x, y, window)

    def centred(self, component: str) -> np.ndarray:
        """A component averaged onto the cell centres, (nx, ny); "e"/"h" give |E|/|H|."""
        key = str(component).lower()
        if key in ("e", "h"):
            names = ("ex", "ey", "ez") if key == "e" else ("hx", "hy", "hz")
            return np.sqrt(sum(np.abs(self.centred(n)) ** 2 for n in names))
        return analysis.at_centres(self.component(key), key)

    @cached_property
    def te_fraction(self) -> float:
        """Share of |Ex|^2 in |Ex|^2 + |Ey|^2 (area-weighted): 1 for a pure TE mode."""
        return analysis.te_fraction(self)

    @property
    def polarization(self) -> str:
        """"TE" (te_fraction >= 0.8), "TM" (<= 0.2) or "hybrid"."""
        return analysis.polarization(self.te_fraction)

    @property
    def symmetry(self) -> str:
        """The mirror symmetry of its dominant transverse electric component in words, e.g.
        "symmetric in x" (the even supermode of a coupler split at x = c) or "antisymmetric
        in x, symmetric in y"; "" when no mirror plane split the solve."""
        return symmetry_words(self.parity, self.te_fraction)

    @cached_property
    def effective_area(self) -> float:
        """(integral |E|^2)^2 / integral |E|^4, square micrometres."""
        return analysis.effective_area(self)

    def confinement(self, region) -> float:
        """Share of the power flux inside `region`: a shape (e.g. the core Rectangle), a
        shapely geometry or bounds (xmin, ymin, xmax, ymax) in micrometres."""
        return analysis.confinement(self, region)

    @property
    def loss_db_per_cm(self) -> float:
        """Power loss in dB/cm, never negative; Im(neff) > 0 is loss (fields ~
        exp(i(k0 neff z - omega t))). When `loss_is_upper_bound`, the loss is only known to
        lie below `loss_floor_db_per_cm` (a gain medium's gain shows in Im(neff) < 0)."""
        return max(analysis.loss_db_per_cm(self.neff, self.wavelength), 0.0)

    @property
    def loss_floor_db_per_cm(self) -> float:
        """The smallest loss (dB/cm) this solve resolves for this mode: Im(neff) of either
        sign below `analysis.imag_floor` (rounding, the eigen residual) is noise; a larger
        negative Im(neff) raises the floor to its own size, and so does any Im(neff) of a
        guided mode in lossless materials, which cannot lose power (its Im(neff) is the
        window's error: a PML too close to its tail)."""
        floor = analysis.imag_floor(self.neff, self.residual)
        noise = abs(self.neff.imag) if self._cannot_lose else -self.neff.imag
        return analysis.loss_db_per_cm(complex(0.0, max(floor, noise)), self.wavelength)

    @cached_property
    def _cannot_lose(self) -> bool:
        """A guided mode (above the rim index) of a structure without material loss."""
        if self.kind != "guided" or self.context is None or self.structure is None:
            return False
        return all(not np.any(np.imag(m.eps_tensor(self.wavelength)))
                   and not np.any(np.imag(m.mu_tensor(self.wavelength)))
                   for m in self.structure.materials())

    @property
    def loss_is_upper_bound(self) -> bool:
        """Whether the loss lies below the floor: the mode may well be lossless."""
        return analysis.loss_db_per_cm(self.neff, self.wavelength) <= self.loss_floor_db_per_cm

    def overlap(self, other: "Mode") -> complex:
        """Normalised unconjugated reciprocity overlap with another mode (any grid)."""
        return analysis.overlap(self, other)

    def power_coupling(self, other: "Mode") -> float:
        """Fraction of `other`'s power coupled into this mode at a butt joint (any grid)."""
        return analysis.power_coupling(self, other)

    def group_index(self, method: str = "auto", **options) -> float:
        """Group index n_g = neff - lambda d(neff)/d(lambda); see corvane.dispersion."""
        return dispersion.group_index(self, method=method, **options)

    def plot(self, component: str = "e", *, part: str | None = None, ax=None,
             outline: bool = True, **kwargs):
        """Plot |E| (default), |H|, the intensity |E|^2 ("intensity") or one component
        ("ey", ...; `part` "abs" (default), "real", "imag" or "phase") with the structure
        outline and the PML boundary; axes in micrometres. See `corvane.plot.plot_mode`.
        Returns the matplotlib Axes."""
        return plot.plot_mode(self, component, part=part, ax=ax, outline=outline, **kwargs)

    def save(self, path) -> None:
        """Write this mode with its grid, structure and solve settings to one .npz file."""
        io.save(self, path)


@dataclass(frozen=True, eq=False)
class ModeSet(Sequence):
    """The modes of one solve, highest Re(neff) first, with what produced them.

    modes: the `num_modes` highest physical modes (or all modes with include_all=True);
    `all_modes` every physical mode the solve found, those below the cut included (the
    candidates of a sweep's tracking); `hidden` a `ModeSummary` (neff, kind, parity, energy
    fractions) of each mode found but not kept, e.g. wall and PML modes. grid: the full
    window (PML included); structure, wavelength (micrometres), settings (the solve
    keywords, enough to solve again: ``corvane.solve(ms.structure, 1.31, **ms.settings)``),
    sampled (the materials sampled on the window that was solved: the upper half or quarter
    when a mirror plane split it, PML cells included, without the PML stretch), timings
    (seconds per phase), backend, formulation, cladding_index (guided modes lie above it),
    operator_applications (of the eigen searches of the sub-problems: a solve's work,
    every grid of an ``accuracy=`` series included).

    Example::

        modes = corvane.solve(structure, 1.55, num_modes=4)
        modes.neff            # complex array
        modes[0].plot()
    """

    modes: tuple
    all_modes: tuple = ()
    hidden: tuple = ()
    grid: object = None
    structure: object = None
    wavelength: float = 0.0
    settings: dict = field(default_factory=dict)
    sampled: object = field(default=None, repr=False)
    timings: dict = field(default_factory=dict)
    backend: str = ""
    formulation: str = "diagonal"
    cladding_index: float = 0.0
    rim: dict = field(default_factory=dict)  # the rim index of each axis, {"x": .., "y": ..}
    operator_applications: int = 0

    def __post_init__(self):
        # Label every mode from its polarisation and order among the physical modes found.
        pool = list({id(m): m for m in (*self.modes, *self.all_modes)}.values())
        if pool and not all(m.label for m in pool):
            named = {id(m): dataclasses.replace(m, label=lab)
                     for m, lab in zip(pool, assign_labels(pool))}
            object.__setattr__(self, "modes", tuple(named[id(m)] for m in self.modes))
            object.__setattr__(self, "all_modes", tuple(named[id(m)] for m in self.all_modes))

    def __len__(self) -> int:
        return len(self.modes)

    def __getitem__(self, k):
        return self.modes[k]

    def __repr__(self) -> str:
        return f"ModeSet({len(self)} modes, neff={np.round(self.neff, 6)!r})"

    @property
    def neff(self) -> np.ndarray:
        """Effective indices, complex array."""
        return np.array([m.neff for m in self.modes], dtype=complex)

    @property
    def kinds(self) -> list[str]:
        return [m.kind for m in self.modes]

    @property
    def labels(self) -> list[str]:
        """The label of each mode, e.g. ["TE0", "TM0", "TE1"]."""
        return [m.label for m in self.modes]

    def table(self) -> str:
        """A text table of the modes: index, label, neff, loss ("< x" where only a bound x is
        resolved), polarisation, symmetry, kind."""
        lines = [f"{'#':>3}  {'label':>8}  {'Re(neff)':>10}  {'Im(neff)':>11}  {'loss dB/cm':>10}  "
                 f"{'TE frac':>7}  {'pol':>6}  {'kind':>6}  symmetry"]
        for k, m in enumerate(self.modes):
            error = m.neff_error
            re = f"{m.neff.real:>10.6f}" + (f" +- {error:.1e}" if error is not None else "")
            loss = (f"< {m.loss_floor_db_per_cm:.2g}" if m.loss_is_upper_bound
                    else f"{m.loss_db_per_cm:.3g}")
            lines.append(f"{k:>3}  {m.label:>8}  {re}  {m.neff.imag:>11.3e}  "
                         f"{loss:>10}  {m.te_fraction:>7.3f}  "
                         f"{m.polarization:>6}  {m.kind:>6}  {m.symmetry or '-'}")
        return "\n".join(lines)

    def plot_index(self, *, ax=None, grid_lines: bool = False, **kwargs):
        """Plot the refractive index of the solved window with the PML marked; see
        `corvane.plot.plot_index`. Returns the matplotlib Axes."""
        return plot.plot_index(self.structure, self.wavelength, grid=self.grid,
                               pml_mask=self.modes[0].context.pml_mask if self.modes else None,
                               ax=ax, grid_lines=grid_lines, **kwargs)

    def export(self, path) -> None:
        """Write the fields of every mode with coordinates and units to an HDF5 (.h5,
        .hdf5) or MATLAB (.mat) file, chosen by the suffix; see `corvane.export`."""
        export.export(self, path)

    def save(self, path) -> None:
        """Write all modes with grid, structure and settings to one .npz file."""
        io.save(self, path)


def load(path):
    """Read a file written by `Mode.save` or `ModeSet.save`; returns the same kind of object,
    with its grid, structure, wavelength (micrometres) and settings.

    Raises `corvane.FileFormatError` (a ValueError) for any file that is not a sound
    corvane modes file. Example::

        modes.save("strip")              # writes strip.npz
        again = corvane.load("strip")    # reads it back
    """
    meta, arrays = io.read(path)
    with io.file_faults(path):
        return _rebuilt(meta, arrays)


def _rebuilt(meta: dict, arrays: dict):
    """The Mode or ModeSet of a file's checked contents."""
    grid = Grid(np.asarray(meta["grid"]["x_edges"]), np.asarray(meta["grid"]["y_edges"]))
    inner = meta.get("inner_grid")
    inner_grid = Grid(np.asarray(inner["x_edges"]), np.asarray(inner["y_edges"])) if inner \
        else None
    structure = Structure.from_dict(meta["structure"]) if meta["structure"] else None
    settings = io.settings_from_json(meta["settings"])
    ctx = ModeContext(grid=grid, structure=structure, wavelength=float(meta["wavelength"]),
                      pml_mask=arrays["pml_mask"], inner_grid=inner_grid, settings=settings)
    modes = tuple(
        Mode(neff=complex(arrays["neff"][k]), **{c: arrays[c][k] for c in COMPONENTS},
             kind=info["kind"], parity=tuple(tuple(p) for p in info["parity"]),
             residual=info["residual"], wall_fraction=info["wall_fraction"],
             pml_fraction=info["pml_fraction"], label=info.get("label", ""), context=ctx,
             neff_error=info.get("neff_error"))
        for k, info in enumerate(meta["modes"]))
    if meta["single"]:
        return modes[0]
    s = meta["set"]
    return ModeSet(modes=modes, all_modes=modes, grid=grid, structure=structure,
                   wavelength=ctx.wavelength, settings=settings,
                   timings=s["timings"], backend=s["backend"], formulation=s["formulation"],
                   cladding_index=s["cladding_index"])
