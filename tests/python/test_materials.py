"""Materials: tensors from every accepted description, dispersion formulas against
published values, rotation, serialisation and the errors at the constructor."""

import logging
import math

import numpy as np
import pytest

from corvane import materials
from corvane.materials import Material, Sellmeier, as_material


class TestTensors:
    def test_index_squares_into_an_isotropic_permittivity(self):
        m = Material(index=1.5 + 0.01j)
        np.testing.assert_allclose(m.eps_tensor(1.55), np.eye(3) * (1.5 + 0.01j) ** 2)
        np.testing.assert_array_equal(m.mu_tensor(1.55), np.eye(3))
        assert m.index(1.55) == 1.5 + 0.01j

    def test_scalar_diagonal_and_full_permittivity(self):
        np.testing.assert_array_equal(Material(eps=4).eps_tensor(1.0), 4 * np.eye(3))
        np.testing.assert_array_equal(Material(eps=(2, 3, 4)).eps_tensor(1.0), np.diag([2, 3, 4]))
        full = [[4, 0.5, 0], [0.5, 4, 0], [0, 0, 3]]
        m = Material(eps=full, mu=(1, 2, 1))
        np.testing.assert_array_equal(m.eps_tensor(1.0), full)
        np.testing.assert_array_equal(m.mu_tensor(1.0), np.diag([1, 2, 1]))
        assert not m.is_diagonal and Material(eps=(2, 3, 4)).is_diagonal

    def test_anisotropic_index_is_the_largest_principal_index(self):
        m = Material(eps=(4.0, 2.25, 1.0))
        assert m.index(1.55) == pytest.approx(2.0)

    def test_callable_index_follows_the_wavelength(self):
        m = Material(index=lambda lam: 1.4 + 0.1 * lam)
        assert m.is_dispersive
        assert m.eps_tensor(2.0)[1, 1] == pytest.approx(1.6**2)
        assert m.eps_tensor(1.0)[1, 1] == pytest.approx(1.5**2)

    def test_numbers_are_refractive_indices_wherever_a_material_is_expected(self):
        assert as_material(2.0) == Material(index=2.0)
        assert as_material(materials.silica) is materials.silica
        with pytest.raises(TypeError, match="refractive index"):
            as_material("glass")


class TestLibrary:
    # Published values of the cited formulas (tables of the papers, 4 decimals).
    @pytest.mark.parametrize("material, wavelength, n", [
        (materials.silica, 1.55, 1.4440),
        (materials.silica, 0.6328, 1.4570),
        (materials.silicon, 1.55, 3.4777),
        (materials.silicon_nitride, 1.55, 1.9963),
        (materials.lithium_niobate_ordinary, 1.55, 2.2111),
        (materials.lithium_niobate_extraordinary, 1.55, 2.1376),
        (materials.air, 1.55, 1.0),
    ])
    def test_indices_match_the_published_formulas(self, material, wavelength, n):
        assert material.index(wavelength).real == pytest.approx(n, abs=1e-4)
        assert material.source

    @pytest.mark.parametrize("axis", ["x", "y", "z"])
    def test_lithium_niobate_has_its_extraordinary_index_on_the_optic_axis(self, axis):
        eps = np.diag(materials.lithium_niobate(optic_axis=axis).eps_tensor(1.55)).real
        k = "xyz".index(axis)
        assert eps[k] == pytest.approx(2.1376**2, abs=5e-4)
        assert np.delete(eps, k) == pytest.approx([2.2111**2] * 2, abs=5e-4)

    def test_eps_is_smooth_enough_to_difference(self):
        # Group index of bulk silica at 1.55 um: n - lambda dn/dlambda = 1.4626 (Malitson).
        lam, d = 1.55, 1e-4
        n = lambda x: math.sqrt(materials.silica.eps_tensor(x)[0, 0].real)
        ng = n(lam) - lam * (n(lam + d) - n(lam - d)) / (2 * d)
        assert ng == pytest.approx(1.4626, abs=2e-4)


class TestRotation:
    def test_rotation_of_a_uniaxial_crystal_about_y(self):
        ln = materials.lithium_niobate(optic_axis="z")
        eo, ee = ln.eps_tensor(1.55)[0, 0], ln.eps_tensor(1.55)[2, 2]
        r = ln.rotated(30, axis="y").eps_tensor(1.55)
        a = math.radians(30)
        # Optic axis turned from z towards x: eps = eo I + (ee - eo) c c^T, c = (sin a, 0, cos a).
        c = np.array([math.sin(a), 0, math.cos(a)])
        np.testing.assert_allclose(r, eo * np.eye(3) + (ee - eo) * np.outer(c, c), atol=1e-14)
        assert not ln.rotated(30, axis="y").is_diagonal

    def test_quarter_turns_keep_diagonal_tensors_exactly_diagonal(self):
        m = materials.lithium_niobate(optic_axis="z").rotated(90, axis="x")
        assert m.is_diagonal
        y_axis = materials.lithium_niobate(optic_axis="y")
        np.testing.assert_allclose(np.diag(m.eps_tensor(1.55)), np.diag(y_axis.eps_tensor(1.55)))

    def test_rotations_compose_and_isotropic_materials_stay_unchanged(self):
        m = Material(eps=[[4, 0.3, 0], [0.3, 3, 0.1], [0, 0.1, 2]])
        twice = m.rotated(20, axis="z").rotated(25, axis="z")
        np.testing.assert_allclose(twice.eps_tensor(1.0), m.rotated(45, axis="z").eps_tensor(1.0),
                                   atol=1e-14)
        assert materials.silica.rotated(33, axis="x") is materials.silica

    def test_mirror_flips_the_off_diagonal_terms_of_the_axis(self):
        m = Material(eps=[[4, 0.3, 0.2], [0.3, 3, 0.1], [0.2, 0.1, 2]]).mirrored("x")
        e = m.eps_tensor(1.0).real
        assert (e[0, 1], e[0, 2], e[1, 2]) == pytest.approx((-0.3, -0.2, 0.1))


class TestFiles:
    @pytest.mark.parametrize("m", [
        materials.silicon, materials.lithium_niobate(optic_axis="x"),
        Material(index=1.5 + 1e-3j, name="lossy"),
        Material(eps=[[4, 0.5, 0], [0.5, 4, 0], [0, 0, 3]], mu=(1, 1, 2)),
        Material.sellmeier(B=(1.0,), C=(0.01,), name="s").rotated(10, axis="x"),
    ])
    def test_round_trip(self, m):
        back = Material.from_dict(m.to_dict())
        assert back == m
        np.testing.assert_array_equal(back.eps_tensor(1.3), m.eps_tensor(1.3))

    def test_library_materials_are_stored_by_name(self):
        assert materials.silica.to_dict() == {"library": "silica"}

    def test_plain_callable_is_stored_as_its_value_with_a_warning(self, caplog):
        m = Material(index=lambda lam: 1.4 + 0.1 * lam, name="fit")
        with pytest.raises(ValueError, match="wavelength="):
            m.to_dict()
        with caplog.at_level(logging.WARNING, logger="corvane"):
            d = m.to_dict(wavelength=2.0)
        assert "callable" in caplog.text
        assert Material.from_dict(d).index(1.0) == pytest.approx(1.6)


class TestErrors:
    @pytest.mark.parametrize("kwargs, match", [
        ({}, "exactly one of index= .* or eps="),
        ({"index": 1.5, "eps": 2.0}, "exactly one"),
        ({"eps": (2.0, 0.0, 2.0)}, "zero diagonal component"),
        ({"eps": 0.0}, "zero diagonal component"),
        ({"index": 0.0}, "index must be non-zero"),
        ({"eps": float("nan")}, "eps must be finite"),
        ({"index": float("inf")}, "index must be finite"),
        ({"eps": (1.0, 2.0)}, "3 diagonal values"),
        ({"index": [[1, 0, 0], [0, 1, 0], [0, 0, 1]]}, "index must be"),
        ({"eps": 2.0, "mu": (1.0, complex("nan"), 1.0)}, r"mu\[1\] must be finite"),
    ])
    def test_bad_values_name_the_argument(self, kwargs, match):
        with pytest.raises(ValueError, match=match):
            Material(**kwargs)

    def test_callable_values_are_checked_when_evaluated(self):
        m = Material(eps=lambda lam: (2.0, 0.0, 2.0), name="bad")
        with pytest.raises(ValueError, match="eps of 'bad' at wavelength 1.55 um has a zero"):
            m.eps_tensor(1.55)

    @pytest.mark.parametrize("wavelength, match", [
        (1.55e-6, "looks like metres"), (0.0, "positive"), (-1.0, "positive"),
        (float("nan"), "positive finite"),
    ])
    def test_wavelength_must_be_micrometres(self, wavelength, match):
        with pytest.raises(ValueError, match=match):
            materials.silica.eps_tensor(wavelength)
        with pytest.raises(TypeError):
            materials.silica.eps_tensor("1.55")

    def test_rotation_axis_is_checked(self):
        with pytest.raises(ValueError, match="axis must be 'x', 'y' or 'z'"):
            materials.silica.rotated(10, axis="w")

    def test_sellmeier_lengths_must_match(self):
        with pytest.raises(ValueError, match="same non-zero length"):
            Sellmeier(B=(1.0, 2.0), C=(0.1,))
