"""A numpy front end to the native solvers in corvane._core.

The native functions speak in flat lists of (real, imag) tuples; this module turns numpy
arrays into that form and the 9-tuple result back into arrays shaped (modes, nx, ny).
"""

from __future__ import annotations

import math
from dataclasses import dataclass

import numpy as np

from corvane import _core

SPEED_OF_LIGHT = 299792458.0  # m/s
COMPONENTS = ("ex", "ey", "ez", "hx", "hy", "hz")


def _as_tuples(values: np.ndarray) -> list[tuple[float, float]]:
    flat = np.asarray(values, dtype=complex).ravel()
    return list(zip(flat.real.tolist(), flat.imag.tolist()))


def material_tensor(value, nx: int, ny: int) -> list[list[tuple[float, float]]]:
    """The nine flat components (xx, xy, ..., zz) of a material given as a scalar, an
    (nx, ny) array (isotropic), a (3, nx, ny) array (diagonal xx, yy, zz) or a
    (3, 3, nx, ny) array (full tensor)."""
    a = np.asarray(value, dtype=complex)
    if a.ndim == 0:
        a = np.full((nx, ny), a)
    if a.shape == (nx, ny):
        a = np.stack([a, a, a])
    if a.shape == (3, nx, ny):
        full = np.zeros((3, 3, nx, ny), dtype=complex)
        for k in range(3):
            full[k, k] = a[k]
        a = full
    if a.shape != (3, 3, nx, ny):
        raise ValueError(f"material of shape {np.shape(value)} does not fit a {nx} x {ny} grid")
    return [_as_tuples(a[r, c]) for r in range(3) for c in range(3)]


def dual_steps(steps) -> list[float]:
    """Steps between the centres of neighbouring cells: the backward steps of a grid whose
    forward steps are `steps` (the first one is the first cell's own step)."""
    h = [float(v) for v in steps]
    return [h[0]] + [0.5 * (h[i - 1] + h[i]) for i in range(1, len(h))]


@dataclass
class Modes:
    """Guided modes of one solve, in descending order of Re(neff)."""

    neff: np.ndarray  # (M,) complex
    fields: dict[str, np.ndarray]  # component name -> (M, nx, ny) complex
    residuals: np.ndarray  # (M,)
    mode_powers: np.ndarray  # (M,)
    self_overlaps: np.ndarray  # (M,) complex
    max_cross_overlap: float
    backend: str
    operator_rows: int
    operator_nnz: int

    def __len__(self) -> int:
        return len(self.neff)

    def te_fraction(self) -> np.ndarray:
        """Share of |Ex|^2 in the transverse electric energy of each mode."""
        ex = np.sum(np.abs(self.fields["ex"]) ** 2, axis=(1, 2))
        ey = np.sum(np.abs(self.fields["ey"]) ** 2, axis=(1, 2))
        total = ex + ey
        return np.divide(ex, total, out=np.zeros_like(ex), where=total > 0)


def _complex_array(pairs) -> np.ndarray:
    if not pairs:
        return np.zeros(0, dtype=complex)
    a = np.asarray(pairs, dtype=float)
    return a[..., 0] + 1j * a[..., 1]


def solve(
    dx,
    dy,
    eps,
    mu=1.0,
    *,
    wavelength: float,
    num_modes: int = 1,
    neff_guess: float,
    tensorial: bool = False,
    npml: tuple[int, int] = (0, 0),
    pml_strength: float = 8.0,
    pmc: tuple[bool, bool] = (False, False),
    direction: str = "+",
    **native_options,
) -> Modes:
    """Solve the modes of a cross-section.

    dx, dy: cell sizes along x and y in micrometres (sequences of nx and ny values).
    eps, mu: relative permittivity and permeability (see `material_tensor`).
    wavelength: vacuum wavelength in micrometres. Derivatives are scaled by 1/k0, so the
    eigenvalues are effective indices.
    npml: PML thickness in cells on each side of x and y (0 for a closed wall).
    pml_strength: the peak imaginary coordinate stretch of the layers; the native
    conductivity parameter is derived from it and the edge step so that the layer does not
    depend on the grid resolution.
    Remaining keyword arguments go to the native call unchanged (e.g. krylov_dim).
    """
    dx = [float(v) for v in dx]
    dy = [float(v) for v in dy]
    nx, ny = len(dx), len(dy)
    k0 = 2.0 * math.pi / wavelength
    eps_flat = material_tensor(eps, nx, ny)
    mu_flat = material_tensor(mu, nx, ny)
    options = dict(native_options)
    if any(npml):
        # The stretch is sigma_max / (h k0 n) at the outer edge, n the side's mean index.
        edge_index = math.sqrt(abs(complex(np.asarray(eps, dtype=complex).ravel()[0])))
        edge_step = max(dx[0], dx[-1], dy[0], dy[-1])
        options.setdefault("pml_sigma_max", pml_strength * edge_step * k0 * edge_index)
        options.setdefault("omega", 2.0 * math.pi * SPEED_OF_LIGHT / (wavelength * 1e-6))
    native = _core.solve_tensorial_sparse_py if tensorial else _core.solve_diagonal_sparse_py
    result = native(
        nx, ny, dx, dy, dual_steps(dx), dual_steps(dy), bool(pmc[0]), bool(pmc[1]),
        eps_flat, mu_flat, num_modes, neff_guess, direction,
        derivative_scale=1.0 / k0, npml_x=npml[0], npml_y=npml[1], **options,
    )
    neffs, fields, residuals, powers, overlaps, cross, backend, rows, nnz = result
    shaped = {
        name: _complex_array(fields[k]).reshape(len(neffs), nx, ny)
        for k, name in enumerate(COMPONENTS)
    }
    return Modes(
        neff=_complex_array(neffs),
        fields=shaped,
        residuals=np.asarray(residuals, dtype=float),
        mode_powers=np.asarray(powers, dtype=float),
        self_overlaps=_complex_array(overlaps),
        max_cross_overlap=float(cross),
        backend=backend,
        operator_rows=rows,
        operator_nnz=nnz,
    )
