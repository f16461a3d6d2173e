"""Names of modes: polarisation and order ("TE0", "TM1", "hybrid0"), the field-theory names
of metal-guide modes ("TE10", "TM11"), and the mirror symmetry in words.

Dielectric guides: a mode is quasi-TE when Ex carries at least 80 % of its transverse
electric energy, quasi-TM when Ey does, "hybrid" otherwise; within each polarisation the
modes are numbered from 0 by descending Re(neff) among the modes the solve found.

Metal guides: when the window has no PML (its rim is an electric wall, a metal guide) and
the mode's magnetic field reaches the rim, the mode is named as in a hollow guide: "TE"
when Ez carries under 20 % of the longitudinal energy |Ez|^2 + |Hz|^2, "TM" when Hz
does, "hybrid" otherwise; m and n count the half-wave variations along x and y (sign
changes of Hz along x and y for TE, one more than those of Ez for TM), so the fundamental
mode of a rectangular guide is TE10.
"""

from __future__ import annotations

import numpy as np

from corvane.analysis import at_centres

__all__ = ["assign", "symmetry_words"]

# A field sample counts for the sign changes when it exceeds this share of its line's peak.
_SIGNIFICANT = 0.1
# A mode "reaches" the metal rim when |H| there exceeds this share of its peak.
_RIM_SHARE = 0.1


def assign(modes) -> list[str]:
    """Labels of the modes of one solve (any order; the result follows it). Non-physical
    modes (wall- or PML-bound) get their kind as label."""
    labels = [m.kind if m.kind not in ("guided", "leaky") else "" for m in modes]
    counts: dict[str, int] = {}
    order = sorted(range(len(modes)), key=lambda k: -np.real(modes[k].neff))
    for k in order:
        if labels[k]:
            continue
        mode = modes[k]
        if _in_metal_guide(mode):
            labels[k] = metal_label(mode)
            continue
        pol = mode.polarization
        labels[k] = f"{pol}{counts.get(pol, 0)}"
        counts[pol] = counts.get(pol, 0) + 1
    return labels


def _in_metal_guide(mode) -> bool:
    ctx = mode.context
    if ctx is None or np.any(ctx.pml_mask):
        return False
    h = np.sqrt(sum(np.abs(at_centres(getattr(mode, c), c)) ** 2 for c in ("hx", "hy", "hz")))
    peak = float(h.max())
    rim = max(h[0].max(), h[-1].max(), h[:, 0].max(), h[:, -1].max())
    return peak > 0 and rim >= _RIM_SHARE * peak


def metal_label(mode) -> str:
    """TE_mn / TM_mn name of a metal-guide mode (see the module text)."""
    areas = np.outer(np.diff(np.asarray(mode.grid.x_edges)), np.diff(np.asarray(mode.grid.y_edges)))
    ez = float(np.sum(areas * np.abs(mode.ez) ** 2))
    hz = float(np.sum(areas * np.abs(mode.hz) ** 2))
    share = ez / (ez + hz) if ez + hz > 0 else 0.0
    if share <= 0.2:
        kind, m, n = "TE", *_sign_changes(mode.hz)
    elif share >= 0.8:
        kind, m, n = "TM", *(c + 1 for c in _sign_changes(mode.ez))
    else:
        kind = "hybrid"
        m, n = _sign_changes(mode.hz) if hz >= ez else (c + 1 for c in _sign_changes(mode.ez))
    return f"{kind}{m}{n}"


def _sign_changes(values: np.ndarray) -> tuple[int, int]:
    """Sign changes of a component along x and along y, on the lines through its peak (the
    phase of the peak removed, samples below a tenth of the line's peak skipped)."""
    i, j = np.unravel_index(np.argmax(np.abs(values)), values.shape)
    real = np.real(values * np.exp(-1j * np.angle(values[i, j])))

    def count(line):
        big = line[np.abs(line) > _SIGNIFICANT * np.abs(line).max()]
        return int(np.count_nonzero(np.diff(np.sign(big)))) if big.size else 0

    return count(real[:, j]), count(real[i, :])


def symmetry_words(parity: tuple, te_fraction: float) -> str:
    """The mirror symmetry of a mode's dominant transverse electric component in words,
    e.g. "symmetric in x" or "antisymmetric in x, symmetric in y"; "" without mirror planes.

    An electric wall on the plane x = c keeps Ex even and Ey odd in x; a magnetic wall the
    reverse (likewise for y), so the dominant component (Ex for te_fraction >= 0.5) decides.
    """
    dominant = "x" if te_fraction >= 0.5 else "y"
    words = []
    for axis, wall in parity:
        even = (dominant == axis) == (wall == "electric")
        words.append(f"{'symmetric' if even else 'antisymmetric'} in {axis}")
    return ", ".join(words)
