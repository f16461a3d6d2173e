"""Binding and conversion of the 25 solver arguments.

Conversion errors are raised before any native work. A call whose arguments all convert
ends, by construction of BASE, at the material-tensor check of mu_tensor (ten components):
that ValueError is the sign that conversion went through.
"""

import array
import collections

import numpy as np
import pytest

from corvane import _core

SOLVERS = [_core.solve_diagonal_sparse_py, _core.solve_tensorial_sparse_py]

NINE = [[(1.0, 0.0)] for _ in range(9)]
TEN = [[(1.0, 0.0)] for _ in range(10)]
CONVERTED = "tensor must contain 9 flattened components"

# nx, ny, dlf_x, dlf_y, dlb_x, dlb_y, pmc_x, pmc_y, eps_tensor, mu_tensor, num_modes,
# neff_guess, direction
BASE = dict(
    nx=1,
    ny=1,
    dlf_x=[1.0],
    dlf_y=[1.0],
    dlb_x=[1.0],
    dlb_y=[1.0],
    pmc_x=False,
    pmc_y=False,
    eps_tensor=NINE,
    mu_tensor=TEN,
    num_modes=1,
    neff_guess=1.5,
    direction="+",
)
POSITIONAL = list(BASE.values())
OPTIONAL = dict(
    derivative_scale=None,
    npml_x=0,
    npml_y=0,
    pml_sigma_max=2.0,
    pml_kappa_min=1.0,
    pml_kappa_max=3.0,
    pml_order=3,
    dmin_pml_x=True,
    dmin_pml_y=True,
    omega=None,
    krylov_dim=32,
    initial_vector=None,
)


def call(solver=_core.solve_diagonal_sparse_py, **overrides):
    return solver(**{**BASE, **overrides})


def error_of(exc_type=BaseException, **overrides):
    with pytest.raises(exc_type) as err:
        call(**overrides)
    return err.value


def assert_converts(**overrides):
    err = error_of(ValueError, **overrides)
    assert str(err) == CONVERTED


def assert_type_error(parameter, message, **overrides):
    err = error_of(TypeError, **overrides)
    assert type(err) is TypeError
    assert str(err) == f"argument '{parameter}': {message}"
    return err


class Outer:
    class Inner:
        pass


# ---------------------------------------------------------------- binding


@pytest.mark.parametrize("solver", SOLVERS, ids=lambda f: f.__name__)
class TestBinding:
    def name(self, solver):
        return solver.__name__ + "()"

    def test_unexpected_keyword_names_the_function(self, solver):
        with pytest.raises(TypeError) as err:
            solver(*POSITIONAL, bogus=1)
        assert str(err.value) == f"{self.name(solver)} got an unexpected keyword argument 'bogus'"

    def test_keyword_given_twice(self, solver):
        with pytest.raises(TypeError) as err:
            solver(*POSITIONAL, nx=1)
        assert str(err.value) == f"{self.name(solver)} got multiple values for argument 'nx'"

    def test_too_many_positional(self, solver):
        args = POSITIONAL + list(OPTIONAL.values()) + [None]
        with pytest.raises(TypeError) as err:
            solver(*args)
        assert str(err.value) == (
            f"{self.name(solver)} takes from 13 to 25 positional arguments but 26 were given"
        )

    def test_missing_all(self, solver):
        with pytest.raises(TypeError) as err:
            solver()
        assert str(err.value) == (
            f"{self.name(solver)} missing 13 required positional arguments: 'nx', 'ny', "
            "'dlf_x', 'dlf_y', 'dlb_x', 'dlb_y', 'pmc_x', 'pmc_y', 'eps_tensor', 'mu_tensor', "
            "'num_modes', 'neff_guess', and 'direction'"
        )

    def test_missing_two_and_one(self, solver):
        with pytest.raises(TypeError) as err:
            solver(*POSITIONAL[:11])
        assert str(err.value) == (
            f"{self.name(solver)} missing 2 required positional arguments: "
            "'neff_guess' and 'direction'"
        )
        kwargs = dict(BASE)
        del kwargs["ny"]
        with pytest.raises(TypeError) as err:
            solver(**kwargs)
        assert str(err.value) == (
            f"{self.name(solver)} missing 1 required positional argument: 'ny'"
        )

    def test_all_positional_and_all_keyword_bind(self, solver):
        with pytest.raises(ValueError, match=CONVERTED):
            solver(*POSITIONAL, *OPTIONAL.values())
        everything = {**BASE, **OPTIONAL}
        with pytest.raises(ValueError, match=CONVERTED):
            solver(**dict(reversed(list(everything.items()))))
        with pytest.raises(ValueError, match=CONVERTED):
            solver(*POSITIONAL[:5], **dict(list(BASE.items())[5:]), krylov_dim=8)

    def test_binding_errors_come_before_conversion(self, solver):
        with pytest.raises(TypeError, match="unexpected keyword argument 'bogus'"):
            solver(*["bad"] * 13, bogus=1)
        with pytest.raises(TypeError, match="missing 1 required"):
            solver(*["bad"] * 12)

    def test_keywords_checked_in_order_before_missing(self, solver):
        with pytest.raises(TypeError) as err:
            solver(1, nx=1, bogus=2)
        assert "multiple values for argument 'nx'" in str(err.value)
        with pytest.raises(TypeError) as err:
            solver(1, bogus=2, nx=1)
        assert "unexpected keyword argument 'bogus'" in str(err.value)


# ---------------------------------------------------------------- conversion order


def test_first_failing_parameter_wins_in_parameter_order():
    # Keyword order does not matter; parameter order does.
    err = error_of(TypeError, direction=5, neff_guess="x", nx="a")
    assert str(err).startswith("argument 'nx':")
    err = error_of(TypeError, krylov_dim=1.5, pml_order=1.5, derivative_scale="s")
    assert str(err).startswith("argument 'derivative_scale':")
    # A ValueError of an earlier parameter beats a TypeError of a later one ...
    err = error_of(eps_tensor=[[(1.0, 0.0, 0.0)]], pmc_y=1, mu_tensor="s")
    assert type(err) is TypeError and str(err).startswith("argument 'pmc_y':")
    err = error_of(eps_tensor=[[(1.0, 0.0, 0.0)]], mu_tensor="s")
    assert type(err) is ValueError
    # ... and an OverflowError of an earlier one too.
    err = error_of(ny=-1, dlf_x="s")
    assert type(err) is OverflowError


def test_conversion_stops_at_first_failure():
    calls = []

    class Recorder:
        def __init__(self, tag):
            self.tag = tag

        def __float__(self):
            calls.append(self.tag)
            return 1.0

    error_of(TypeError, dlf_x=[Recorder("dlf_x")], pmc_x=1, neff_guess=Recorder("neff_guess"))
    assert calls == ["dlf_x"]


# ---------------------------------------------------------------- indices


class TestIndex:
    def test_negative_is_unwrapped_overflow(self):
        err = error_of(OverflowError, nx=-1)
        assert type(err) is OverflowError
        assert not str(err).startswith("argument")

    @pytest.mark.parametrize("parameter", ["nx", "ny", "num_modes", "npml_x", "npml_y", "krylov_dim"])
    def test_above_u64_is_overflow(self, parameter):
        err = error_of(OverflowError, **{parameter: 2**64})
        assert not str(err).startswith("argument")

    def test_largest_u64_converts(self):
        err = error_of(ValueError, nx=2**64 - 1)
        assert str(err) == "tensor component length does not match grid shape"

    def test_non_integer_is_wrapped_type_error(self):
        assert_type_error("nx", "'float' object cannot be interpreted as an integer", nx=1.0)
        assert_type_error("num_modes", "'str' object cannot be interpreted as an integer",
                          num_modes="1")

    def test_none_rejected_for_defaulted_indices(self):
        for parameter in ["npml_x", "npml_y", "krylov_dim"]:
            assert_type_error(parameter, "'NoneType' object cannot be interpreted as an integer",
                              **{parameter: None})

    def test_index_protocol_and_bool(self):
        class Index:
            def __index__(self):
                return 1

        assert_converts(nx=Index(), ny=True, num_modes=np.int64(1), krylov_dim=np.uint8(8))

    def test_int_subclass_is_taken_directly(self):
        class Strict(int):
            def __index__(self):
                raise AssertionError("int subclasses are not passed through __index__")

        assert_converts(nx=Strict(1))

    def test_type_error_cause_is_carried_over(self):
        root = KeyError("root")

        class Broken:
            def __index__(self):
                raise TypeError("no index today") from root

        err = assert_type_error("ny", "no index today", ny=Broken())
        assert err.__cause__ is root

    def test_other_exceptions_of_index_pass_unchanged(self):
        class Broken:
            def __index__(self):
                raise ZeroDivisionError("boom")

        err = error_of(ZeroDivisionError, npml_y=Broken())
        assert str(err) == "boom"


# ---------------------------------------------------------------- reals


class TestReal:
    def test_not_a_number(self):
        err = assert_type_error("neff_guess", "must be real number, not str", neff_guess="1.5")
        assert err.__cause__ is None

    @pytest.mark.parametrize("parameter", ["neff_guess", "pml_sigma_max", "pml_kappa_min",
                                           "pml_kappa_max"])
    def test_none_rejected(self, parameter):
        assert_type_error(parameter, "must be real number, not NoneType", **{parameter: None})

    def test_int_too_large_is_unwrapped_overflow(self):
        err = error_of(OverflowError, pml_kappa_max=10**400)
        assert str(err) == "int too large to convert to float"

    def test_accepted_kinds(self):
        class Floaty:
            def __float__(self):
                return 2.5

        class Index:
            def __index__(self):
                return 3

        assert_converts(neff_guess=2, pml_sigma_max=Floaty(), pml_kappa_min=Index(),
                        pml_kappa_max=np.float32(3.0), derivative_scale=True, omega=7)

    def test_none_is_absent_for_omega_and_derivative_scale(self):
        assert_converts(omega=None, derivative_scale=None)

    @pytest.mark.parametrize("parameter", ["omega", "derivative_scale"])
    def test_optional_real_rejects_other_types(self, parameter):
        assert_type_error(parameter, "must be real number, not list", **{parameter: []})

    def test_float_type_error_cause_is_carried_over(self):
        root = ValueError("root")

        class Broken:
            def __float__(self):
                raise TypeError("nope") from root

        err = assert_type_error("omega", "nope", omega=Broken())
        assert err.__cause__ is root


# ---------------------------------------------------------------- booleans


class TestBool:
    @pytest.mark.parametrize("parameter", ["pmc_x", "pmc_y", "dmin_pml_x", "dmin_pml_y"])
    def test_int_and_none_rejected(self, parameter):
        assert_type_error(parameter, "'int' object cannot be converted to 'PyBool'",
                          **{parameter: 1})
        assert_type_error(parameter, "'NoneType' object cannot be converted to 'PyBool'",
                          **{parameter: None})

    def test_bool_and_numpy_bool_accepted(self):
        assert_converts(pmc_x=True, pmc_y=np.bool_(False), dmin_pml_x=np.True_,
                        dmin_pml_y=False)

    def test_numpy_integers_rejected(self):
        assert_type_error("pmc_y", "'int64' object cannot be converted to 'PyBool'",
                          pmc_y=np.int64(1))

    def test_numpy_named_type_goes_through_its_bool_slot(self):
        seen = []

        def truth(self):
            seen.append(self)
            return True

        for name in ["bool_", "bool"]:
            fake = type(name, (), {"__module__": "numpy", "__bool__": truth})()
            assert_converts(dmin_pml_x=fake)
            assert seen[-1] is fake

    def test_numpy_named_type_without_bool_slot(self):
        fake_type = type("bool_", (), {"__module__": "numpy"})
        assert_type_error(
            "pmc_x",
            "object of type '<class 'numpy.bool_'>' does not define a '__bool__' conversion",
            pmc_x=fake_type(),
        )

    def test_bool_slot_failure_is_raised(self):
        def fails(self):
            raise ZeroDivisionError("no truth")

        fake = type("bool", (), {"__module__": "numpy", "__bool__": fails})()
        err = error_of(ZeroDivisionError, pmc_x=fake)
        assert str(err) == "no truth"

    def test_same_name_in_another_module_rejected(self):
        lookalike = type("bool_", (), {"__module__": "numpyish", "__bool__": lambda s: True})
        assert_type_error("pmc_x", "'bool_' object cannot be converted to 'PyBool'",
                          pmc_x=lookalike())


# ---------------------------------------------------------------- pml_order


class TestPmlOrder:
    @pytest.mark.parametrize("value", [2**31, -(2**31) - 1, 2**40])
    def test_outside_int32(self, value):
        err = error_of(OverflowError, pml_order=value)
        assert type(err) is OverflowError
        assert str(err) == "out of range integral type conversion attempted"

    def test_outside_c_long_uses_interpreter_text(self):
        err = error_of(OverflowError, pml_order=2**63)
        assert str(err) == "Python int too large to convert to C long"

    def test_int32_limits_accepted(self):
        assert_converts(pml_order=2**31 - 1)
        assert_converts(pml_order=-(2**31))

    def test_non_integers(self):
        assert_type_error("pml_order", "'float' object cannot be interpreted as an integer",
                          pml_order=3.0)
        assert_type_error("pml_order", "'NoneType' object cannot be interpreted as an integer",
                          pml_order=None)


# ---------------------------------------------------------------- direction


class TestDirection:
    @pytest.mark.parametrize("value,type_name", [(5, "int"), (b"-", "bytes"), (None, "NoneType")])
    def test_non_str_rejected(self, value, type_name):
        assert_type_error("direction",
                          f"'{type_name}' object cannot be converted to 'PyString'",
                          direction=value)

    def test_any_text_accepted(self):
        class Text(str):
            pass

        for value in ["", "-", "+", "backward", "\u00e9\u4e2d", Text("-")]:
            assert_converts(direction=value)

    def test_text_without_utf8_form_is_unwrapped(self):
        err = error_of(UnicodeEncodeError, direction="\ud800")
        assert not str(err).startswith("argument")


# ---------------------------------------------------------------- sequences of reals


class TestRealSequence:
    @pytest.mark.parametrize("parameter", ["dlf_x", "dlf_y", "dlb_x", "dlb_y"])
    def test_str_rejected(self, parameter):
        assert_type_error(parameter, "Can't extract `str` to `Vec`", **{parameter: "1.0"})

    @pytest.mark.parametrize(
        "value,type_name",
        [(1.0, "float"), ({0: 1.0}, "dict"), ({1.0}, "set"), ((x for x in [1.0]), "generator"),
         (None, "NoneType"), (Outer.Inner(), "Outer.Inner")],
    )
    def test_non_sequences_name_their_qualified_type(self, value, type_name):
        assert_type_error("dlb_x", f"'{type_name}' object cannot be converted to 'Sequence'",
                          dlb_x=value)

    def test_bad_item(self):
        assert_type_error("dlf_y", "must be real number, not str", dlf_y=[1.0, "2"])
        assert_type_error("dlf_y", "must be real number, not tuple", dlf_y=[(1.0, 0.0)])

    def test_sequence_kinds_accepted(self):
        class Indexed:
            def __len__(self):
                return 2

            def __getitem__(self, i):
                if i >= 2:
                    raise IndexError(i)
                return 1.0

        class LiesAboutLength(collections.UserList):
            def __len__(self):
                raise RuntimeError("no length")

        assert_converts(dlf_x=(1.0,), dlf_y=range(1, 3), dlb_x=array.array("d", [1.0]),
                        dlb_y=np.ones(3))
        assert_converts(dlf_x=Indexed(), dlf_y=LiesAboutLength([1.0]), dlb_x=[], dlb_y=[1, True])

    def test_list_emptied_while_converting(self):
        steps = []

        class Clears:
            def __float__(self):
                steps.clear()
                return 1.0

        steps.extend([Clears(), 1.0, 2.0])
        assert_converts(dlf_x=steps)


# ---------------------------------------------------------------- material tensors


@pytest.mark.parametrize("parameter", ["eps_tensor", "mu_tensor"])
class TestTensor:
    def test_list_pairs_rejected(self, parameter):
        err = assert_type_error(parameter, "'list' object cannot be converted to 'PyTuple'",
                                **{parameter: [[[1.0, 0.0]] for _ in range(9)]})
        assert err.__cause__ is None

    @pytest.mark.parametrize("pair", [(1.0, 0.0, 0.0), (1.0,), ()])
    def test_wrong_tuple_length_is_unwrapped_value_error(self, parameter, pair):
        err = error_of(ValueError, **{parameter: [[pair] for _ in range(9)]})
        assert type(err) is ValueError
        assert str(err) == f"expected tuple of length 2, but got tuple of length {len(pair)}"

    def test_python_complex_rejected(self, parameter):
        assert_type_error(parameter, "'complex' object cannot be converted to 'PyTuple'",
                          **{parameter: [[1 + 0j]] * 9})

    def test_str_at_either_level(self, parameter):
        assert_type_error(parameter, "Can't extract `str` to `Vec`", **{parameter: "eps"})
        assert_type_error(parameter, "Can't extract `str` to `Vec`",
                          **{parameter: [[(1.0, 0.0)], "xx"]})

    def test_inner_non_sequence(self, parameter):
        assert_type_error(parameter, "'float' object cannot be converted to 'Sequence'",
                          **{parameter: [[(1.0, 0.0)], 1.0]})
        assert_type_error(parameter, "'int' object cannot be converted to 'Sequence'",
                          **{parameter: 9})

    def test_bad_part(self, parameter):
        assert_type_error(parameter, "must be real number, not NoneType",
                          **{parameter: [[(1.0, None)]]})


def test_tensor_shapes_accepted_by_conversion():
    pair = collections.namedtuple("Pair", "re im")
    assert_converts(eps_tensor=tuple(((1, 0),) for _ in range(9)))
    assert_converts(eps_tensor=[[pair(1.0, 0.0)] for _ in range(9)])
    # Lengths are not checked by conversion: the tensor check reports them.
    err = error_of(ValueError, eps_tensor=[[(1.0, 0.0)] * 3] * 2)
    assert str(err) == "tensor must contain 9 flattened components"


def test_tensor_checks_run_eps_first():
    # eps has a component of the wrong length, mu the wrong count: eps is reported.
    err = error_of(ValueError, eps_tensor=NINE[:8] + [[(1.0, 0.0)] * 2])
    assert str(err) == "tensor component length does not match grid shape"
    err = error_of(ValueError, eps_tensor=TEN, mu_tensor=[[]] * 9)
    assert str(err) == "tensor must contain 9 flattened components"
    err = error_of(ValueError, mu_tensor=[[]] * 9)
    assert str(err) == "tensor component length does not match grid shape"


def test_tensor_edited_while_converting():
    tensor = []

    class Clears:
        def __float__(self):
            tensor.clear()
            return 1.0

    tensor.extend([[(Clears(), 0.0), (1.0, 0.0)]] + [[(1.0, 0.0)] for _ in range(8)])
    err = error_of(ValueError, eps_tensor=tensor)
    # Only the first component was read before the list emptied.
    assert str(err) == "tensor must contain 9 flattened components"


# ---------------------------------------------------------------- initial vector


class TestInitialVector:
    def test_none_is_absent_and_empty_is_present(self):
        assert_converts(initial_vector=None)
        assert_converts(initial_vector=[])
        err = error_of(ValueError, mu_tensor=NINE, initial_vector=[])
        assert str(err) == "initial vector length does not match matrix size"

    def test_same_rules_as_tensor_components(self):
        assert_type_error("initial_vector", "Can't extract `str` to `Vec`", initial_vector="v")
        assert_type_error("initial_vector", "'list' object cannot be converted to 'PyTuple'",
                          initial_vector=[[1.0, 0.0]])
        assert_type_error("initial_vector", "'float' object cannot be converted to 'Sequence'",
                          initial_vector=1.0)
        err = error_of(ValueError, initial_vector=[(1.0, 0.0, 2.0)])
        assert str(err) == "expected tuple of length 2, but got tuple of length 3"

    def test_sequence_of_pairs_accepted(self):
        assert_converts(initial_vector=((1.0, 0.0), (0, 1)))
