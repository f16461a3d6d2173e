"""Matplotlib pictures: mode fields and the index profile with the structure outline and the
PML boundary, axes in micrometres, colour bars with units.

Fields are power-normalised, |integral of (E x H*).z dA| = 1 W with dA in square
micrometres, so E reads in V/um, H in A/um and |E|^2 in V^2/um^2 ("unit power").
"""

from __future__ import annotations

import numpy as np
import shapely

from corvane.grid import Grid

# Overview quantities: (what the colour bar says, its unit).
_OVERVIEW = {
    "e": ("|E|", "V/µm, unit power"),
    "h": ("|H|", "A/µm, unit power"),
    "intensity": ("|E|²", "V²/µm², unit power"),
}
PARTS = ("abs", "real", "imag", "phase")
# Phase is drawn only where the amplitude exceeds this share of its peak: elsewhere it is noise.
_PHASE_FLOOR = 1e-2


def format_neff(neff: complex, error: float | None = None) -> str:
    """An effective index as a complex number, e.g. "2.43684 + 1.2e-07i" or "1.80012 -
    3.0e-09i"; the imaginary part is left out below 1e-12, and an error becomes " +- 2e-05".
    """
    text = f"{neff.real:.6f}"
    if abs(neff.imag) >= 1e-12:
        text += f" {'-' if neff.imag < 0 else '+'} {abs(neff.imag):.2g}i"
    if error is not None:
        text += f" +- {error:.1g}"
    return text


def draw_outline(ax, structure, window, **style) -> None:
    """Draw the boundaries of the structure's painted regions inside window (xmin, ymin,
    xmax, ymax) in micrometres."""
    style = {"color": "white", "linewidth": 0.8, **style}
    for _, region in structure.painted_regions(window):
        for poly in shapely.get_parts(region):
            rings = [poly.exterior, *poly.interiors] if hasattr(poly, "exterior") else []
            for ring in rings:
                x, y = ring.xy
                ax.plot(x, y, **style)


def draw_pml(ax, grid, pml_mask, **style) -> None:
    """Dash the inner boundary of the PML (the cells of `pml_mask`, (nx, ny)) and mark it."""
    if pml_mask is None or not np.any(pml_mask):
        return
    xe, ye = np.asarray(grid.x_edges), np.asarray(grid.y_edges)
    ix = np.flatnonzero(~np.all(pml_mask, axis=1))
    iy = np.flatnonzero(~np.all(pml_mask, axis=0))
    x0, x1, y0, y1 = xe[ix[0]], xe[ix[-1] + 1], ye[iy[0]], ye[iy[-1] + 1]
    style = {"color": "0.7", "linewidth": 0.9, "linestyle": "--", **style}
    ax.plot([x0, x1, x1, x0, x0], [y0, y0, y1, y1, y0], **style)
    ax.text(x1, y1, " PML", color=style["color"], fontsize=7, va="bottom", ha="right",
            clip_on=True)  # a zoomed view leaves the label out rather than widening the figure


def _hatch_pml(ax, grid, pml_mask) -> None:
    """Hatch the PML: the window outside the box of the cells that are not PML."""
    from matplotlib.patches import PathPatch
    from matplotlib.path import Path

    xe, ye = np.asarray(grid.x_edges), np.asarray(grid.y_edges)
    ix = np.flatnonzero(~np.all(pml_mask, axis=1))
    iy = np.flatnonzero(~np.all(pml_mask, axis=0))
    x0, x1, y0, y1 = xe[ix[0]], xe[ix[-1] + 1], ye[iy[0]], ye[iy[-1] + 1]
    outer = [(xe[0], ye[0]), (xe[-1], ye[0]), (xe[-1], ye[-1]), (xe[0], ye[-1]), (xe[0], ye[0])]
    inner = [(x0, y0), (x0, y1), (x1, y1), (x1, y0), (x0, y0)]  # opposite turn: a hole
    codes = [Path.MOVETO] + [Path.LINETO] * 3 + [Path.CLOSEPOLY]
    ax.add_patch(PathPatch(Path(outer + inner, codes + codes), facecolor="none",
                           edgecolor="white", hatch="///", linewidth=0, alpha=0.5))


def _values(mode, key: str, part: str):
    """(values at cell centres, colour-bar label, colour map, symmetric range)."""
    if key in _OVERVIEW:
        name, unit = _OVERVIEW[key]
        values = mode.centred("e") ** 2 if key == "intensity" else mode.centred(key)
        return values, f"{name} ({unit})", "magma", False
    values = mode.centred(key)
    name = key[0].upper() + key[1]
    unit = "V/µm, unit power" if key[0] == "e" else "A/µm, unit power"
    if part == "abs":
        return np.abs(values), f"|{name}| ({unit})", "magma", False
    if part == "phase":
        amplitude = np.abs(values)
        phase = np.angle(values)
        return (np.ma.masked_where(amplitude < _PHASE_FLOOR * amplitude.max(), phase),
                f"arg {name} (rad)", "twilight", None)
    func = np.real if part == "real" else np.imag
    return func(values), f"{part[:2].capitalize()}({name}) ({unit})", "RdBu_r", True


def mode_title(mode, what: str = "") -> str:
    """"TE0 |E|: neff = 2.436840 + 1.2e-07i, λ = 1.55 µm" (the error when `neff_error` is set)."""
    neff = format_neff(mode.neff, getattr(mode, "neff_error", None))
    head = " ".join(t for t in (mode.label, what) if t)
    wavelength = f", λ = {mode.wavelength:.4g} µm" if mode.context is not None else ""
    return f"{head}: neff = {neff}{wavelength}" if head else f"neff = {neff}{wavelength}"


def plot_mode(mode, component: str = "e", *, part: str | None = None, ax=None,
              outline: bool = True, show_pml: bool = True, cmap=None, colorbar: bool = True):
    """Plot one mode on its grid.

    component: "e" (|E|, default: what carries the field whatever the polarisation), "h"
    (|H|), "intensity" (|E|^2) or one component "ex" ... "hz".
    part: for a component, "abs" (default), "real", "imag" or "phase" (radians, drawn
    where the amplitude exceeds 1 % of its peak). After phase fixing, Ez and Hz of a
    quasi-TE mode sit in the imaginary part: "abs" shows them whatever their phase.
    outline: draw the structure's interfaces; show_pml: include the PML cells (their inner
    boundary dashed) instead of cropping to the window inside them.
    Returns the matplotlib Axes. Example: ``modes[0].plot("ey", part="real")``
    """
    import matplotlib.pyplot as plt

    key = str(component).lower()
    if key not in _OVERVIEW and key not in ("ex", "ey", "ez", "hx", "hy", "hz"):
        raise ValueError("component must be 'e', 'h', 'intensity' or one of 'ex', 'ey', 'ez', "
                         f"'hx', 'hy', 'hz'; got {component!r}")
    if key in _OVERVIEW and part not in (None, "abs"):
        raise ValueError(f"part applies to a single component such as 'ey'; {component!r} is "
                         "already a magnitude")
    part = "abs" if part is None else part
    if part not in PARTS:
        raise ValueError(f"part must be one of {PARTS}, got {part!r}")
    values, label, default_cmap, symmetric = _values(mode, key, part)
    grid = mode.grid
    xe, ye = np.asarray(grid.x_edges), np.asarray(grid.y_edges)
    pml_mask = None if mode.context is None else mode.context.pml_mask
    if not show_pml and pml_mask is not None and np.any(pml_mask):
        ix = np.flatnonzero(~np.all(pml_mask, axis=1))
        iy = np.flatnonzero(~np.all(pml_mask, axis=0))
        values = values[ix[0]:ix[-1] + 1, iy[0]:iy[-1] + 1]
        xe, ye = xe[ix[0]:ix[-1] + 2], ye[iy[0]:iy[-1] + 2]
    if ax is None:
        _, ax = plt.subplots()
    kwargs = {}
    if symmetric:
        vmax = float(np.max(np.abs(values))) or 1.0
        kwargs = {"vmin": -vmax, "vmax": vmax}
    elif symmetric is None:
        kwargs = {"vmin": -np.pi, "vmax": np.pi}
    mesh = ax.pcolormesh(xe, ye, values.T, cmap=cmap or default_cmap, shading="flat", **kwargs)
    window = (xe[0], ye[0], xe[-1], ye[-1])
    if outline and mode.structure is not None:
        draw_outline(ax, mode.structure, window,
                     color="white" if (cmap or default_cmap) == "magma" else "black")
    if show_pml:
        draw_pml(ax, grid, pml_mask, color="0.7" if (cmap or default_cmap) == "magma" else "0.3")
    _frame(ax, window)
    ax.set_title(mode_title(mode, label.split(" (")[0]), fontsize=9)
    if colorbar:
        ax.figure.colorbar(mesh, ax=ax, label=label)
    return ax


def _frame(ax, window) -> None:
    ax.set_xlim(window[0], window[2])
    ax.set_ylim(window[1], window[3])
    ax.set_aspect("equal")
    ax.set_xlabel("x (µm)")
    ax.set_ylabel("y (µm)")


def index_map(structure, wavelength: float, grid) -> np.ndarray:
    """Re(n) of the material at each cell centre, (nx, ny) (no averaging: the picture shows
    the geometry, not the sampled permittivity)."""
    X, Y = np.meshgrid(grid.x_centers, grid.y_centers, indexing="ij")
    n = np.full(X.shape, np.nan)
    for material, region in structure.painted_regions(grid.bounds):
        inside = shapely.contains_xy(region, X, Y) & np.isnan(n)
        n[inside] = np.real(material.index(wavelength))
    background = structure.painted_regions(grid.bounds)[-1][0]
    return np.where(np.isnan(n), np.real(background.index(wavelength)), n)


def plot_index(structure, wavelength: float, *, grid=None, pml_mask=None, ax=None,
               grid_lines: bool = False, cmap: str = "viridis", colorbar: bool = True):
    """Plot Re(n) of a structure at a vacuum wavelength (micrometres) on a grid (default:
    `Grid.auto(structure, wavelength)`), the PML cells of `pml_mask` hatched and dashed,
    and the cell edges drawn when `grid_lines` is set. Returns the matplotlib Axes.

    Example: ``structure.plot(1.55, grid_lines=True)`` or ``modes.plot_index()``.
    """
    import matplotlib.pyplot as plt

    grid = Grid.auto(structure, wavelength) if grid is None else grid
    if ax is None:
        _, ax = plt.subplots()
    xe, ye = np.asarray(grid.x_edges), np.asarray(grid.y_edges)
    mesh = ax.pcolormesh(xe, ye, index_map(structure, wavelength, grid).T, cmap=cmap,
                         shading="flat")
    if grid_lines:
        style = {"color": "0.6", "linewidth": 0.25, "alpha": 0.7}
        ax.vlines(xe, ye[0], ye[-1], **style)
        ax.hlines(ye, xe[0], xe[-1], **style)
    if pml_mask is not None and np.any(pml_mask):
        _hatch_pml(ax, grid, pml_mask)
        draw_pml(ax, grid, pml_mask, color="white")
    draw_outline(ax, structure, grid.bounds, color="white")
    _frame(ax, grid.bounds)
    ax.set_title(f"refractive index, λ = {wavelength:.4g} µm, {grid.nx} × {grid.ny} cells",
                 fontsize=9)
    if colorbar:
        ax.figure.colorbar(mesh, ax=ax, label="Re(n)")
    return ax
