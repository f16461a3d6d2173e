import numpy as np
import pytest

import corvane


def test_material_tensor_places_each_form_on_the_diagonal_or_in_full():
    iso = corvane.material_tensor(2.0, 1, 2)
    assert [len(c) for c in iso] == [2] * 9
    assert iso[0] == iso[4] == iso[8] == [(2.0, 0.0), (2.0, 0.0)]
    assert iso[1] == [(0.0, 0.0), (0.0, 0.0)]
    diag = corvane.material_tensor(np.array([[[1.0]], [[2.0]], [[3.0 + 1j]]]), 1, 1)
    assert (diag[0], diag[4], diag[8]) == ([(1.0, 0.0)], [(2.0, 0.0)], [(3.0, 1.0)])
    full = np.arange(9, dtype=complex).reshape(3, 3, 1, 1)
    assert [c[0][0] for c in corvane.material_tensor(full, 1, 1)] == list(range(9))
    with pytest.raises(ValueError):
        corvane.material_tensor(np.ones((2, 2)), 1, 2)


def test_dual_steps_average_neighbouring_cells():
    assert corvane.dual_steps([1.0, 3.0, 5.0]) == [1.0, 2.0, 4.0]


def test_solve_matches_the_native_call_and_shapes_the_fields():
    nx, ny, h, wavelength = 12, 8, 0.1, 1.0
    k0 = 2 * np.pi / wavelength
    start = [(1.0, 0.5)] * (2 * nx * ny)
    modes = corvane.solve([h] * nx, [h] * ny, 1.0, wavelength=wavelength, num_modes=2,
                          neff_guess=0.8, initial_vector=start)
    native = corvane._core.solve_diagonal_sparse_py(
        nx, ny, [h] * nx, [h] * ny, corvane.dual_steps([h] * nx), corvane.dual_steps([h] * ny),
        False, False, corvane.material_tensor(1.0, nx, ny), corvane.material_tensor(1.0, nx, ny),
        2, 0.8, "+", derivative_scale=1 / k0, initial_vector=start)
    assert [complex(*z) for z in native[0]] == list(modes.neff)
    assert modes.fields["ex"].shape == (2, nx, ny)
    assert modes.fields["hz"][1].ravel().tolist() == [complex(*z) for z in native[1][5][1]]
    assert len(modes) == 2 and modes.backend == native[6]
    assert np.all((modes.te_fraction() >= 0) & (modes.te_fraction() <= 1))
