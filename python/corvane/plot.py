"""Matplotlib pictures of modes: field maps with the structure outline, axes in micrometres."""

from __future__ import annotations

import numpy as np
import shapely

_LABELS = {"e": "|E|", "h": "|H|"}


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


def plot_mode(mode, component: str = "e", *, ax=None, outline: bool = True,
              show_pml: bool = False, part: str = "real", cmap=None, colorbar: bool = True):
    """Plot one mode on its grid: "e" (|E|, default), "h" (|H|) or a component such as "ey"
    (its real part; `part` may be "real", "imag" or "abs").

    show_pml: include the PML cells (default: only the window inside them).
    Returns the matplotlib Axes. Example: ``modes[0].plot("ey"); plt.savefig("ey.png")``
    """
    import matplotlib.pyplot as plt

    key = str(component).lower()
    values = mode.centred(key)
    if key not in _LABELS:
        if part not in ("real", "imag", "abs"):
            raise ValueError(f"part must be 'real', 'imag' or 'abs', got {part!r}")
        values = {"real": np.real, "imag": np.imag, "abs": np.abs}[part](values)
        label = f"{part}({key.capitalize()})" if part != "abs" else f"|{key.capitalize()}|"
    else:
        label = _LABELS[key]
    xe, ye = np.asarray(mode.grid.x_edges), np.asarray(mode.grid.y_edges)
    if not show_pml and mode.context is not None:
        rows = ~np.all(mode.context.pml_mask, axis=1)
        cols = ~np.all(mode.context.pml_mask, axis=0)
        ix, iy = np.flatnonzero(rows), np.flatnonzero(cols)
        values = values[ix[0]:ix[-1] + 1, iy[0]:iy[-1] + 1]
        xe, ye = xe[ix[0]:ix[-1] + 2], ye[iy[0]:iy[-1] + 2]
    if ax is None:
        _, ax = plt.subplots()
    if cmap is None:
        cmap = "magma" if key in _LABELS or part == "abs" else "RdBu_r"
    kwargs = {}
    if cmap == "RdBu_r":
        vmax = float(np.max(np.abs(values))) or 1.0
        kwargs = {"vmin": -vmax, "vmax": vmax}
    mesh = ax.pcolormesh(xe, ye, np.real(values).T, cmap=cmap, shading="flat", **kwargs)
    if outline and mode.structure is not None:
        draw_outline(ax, mode.structure, (xe[0], ye[0], xe[-1], ye[-1]))
    ax.set_xlim(xe[0], xe[-1])
    ax.set_ylim(ye[0], ye[-1])
    ax.set_aspect("equal")
    ax.set_xlabel("x (µm)")
    ax.set_ylabel("y (µm)")
    ax.set_title(f"{label}, neff = {mode.neff.real:.5f}"
                 + (f" + {mode.neff.imag:.2e}i" if abs(mode.neff.imag) > 1e-12 else ""))
    if colorbar:
        ax.figure.colorbar(mesh, ax=ax, label=label)
    return ax
