"""The module object: its functions, their signatures and the one-module-per-process rule."""

import importlib.util
import inspect
import subprocess
import sys

import pytest

from corvane import _core

SOLVER_PARAMETERS = (
    "nx, ny, dlf_x, dlf_y, dlb_x, dlb_y, pmc_x, pmc_y, eps_tensor, mu_tensor, num_modes, "
    "neff_guess, direction, derivative_scale=None, npml_x=0, npml_y=0, pml_sigma_max=2.0, "
    "pml_kappa_min=1.0, pml_kappa_max=3.0, pml_order=3, dmin_pml_x=True, dmin_pml_y=True, "
    "omega=None, krylov_dim=32, initial_vector=None"
)
DEFAULTS = {
    "derivative_scale": None,
    "npml_x": 0,
    "npml_y": 0,
    "pml_sigma_max": 2.0,
    "pml_kappa_min": 1.0,
    "pml_kappa_max": 3.0,
    "pml_order": 3,
    "dmin_pml_x": True,
    "dmin_pml_y": True,
    "omega": None,
    "krylov_dim": 32,
    "initial_vector": None,
}
SOLVERS = [_core.solve_diagonal_sparse_py, _core.solve_tensorial_sparse_py]


def test_module_object():
    assert _core.__name__ == "corvane._core"
    assert _core.__doc__ == ""
    functions = [name for name, value in vars(_core).items() if callable(value)
                 and not isinstance(value, type)]
    assert functions == ["solve_diagonal_sparse_py", "solve_tensorial_sparse_py",
                         "has_umfpack_backend_py"]


@pytest.mark.parametrize("solver", SOLVERS, ids=lambda f: f.__name__)
def test_solver_signature(solver):
    assert solver.__text_signature__ == f"({SOLVER_PARAMETERS})"
    assert solver.__doc__ is None
    parameters = list(inspect.signature(solver).parameters.values())
    assert len(parameters) == 25
    assert all(p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD for p in parameters)
    assert all(p.default is inspect.Parameter.empty for p in parameters[:13])
    defaults = {p.name: p.default for p in parameters[13:]}
    assert defaults == DEFAULTS
    assert all(type(defaults[k]) is type(v) for k, v in DEFAULTS.items())


def test_has_umfpack_backend():
    assert _core.has_umfpack_backend_py() is True
    assert _core.has_umfpack_backend_py.__text_signature__ == "()"
    assert str(inspect.signature(_core.has_umfpack_backend_py)) == "()"
    with pytest.raises(TypeError):
        _core.has_umfpack_backend_py(1)
    with pytest.raises(TypeError):
        _core.has_umfpack_backend_py(flag=True)


def test_internal_error_type():
    assert issubclass(_core.InternalError, BaseException)
    assert not issubclass(_core.InternalError, Exception)
    assert _core.InternalError.__bases__ == (BaseException,)


def test_reinitialising_returns_the_same_module():
    module_spec = importlib.util.spec_from_file_location("corvane._core", _core.__file__)
    again = importlib.util.module_from_spec(module_spec)
    assert again is _core
    assert again.InternalError is _core.InternalError


# Runs in a fresh process: loads the extension in the main interpreter, then tries again in
# a legacy sub-interpreter (the kind that runs an extension's initialiser itself).
SUBINTERPRETER_SCRIPT = r"""
import importlib.util, os, sys, tempfile

try:
    import _interpreters as interpreters
    create = lambda: interpreters.create("legacy")
except ImportError:
    try:
        import _xxsubinterpreters as interpreters
    except ImportError:
        print("SKIP no sub-interpreter module")
        sys.exit(0)
    if sys.version_info >= (3, 12):
        create = lambda: interpreters.create(isolated=False)
    else:
        create = interpreters.create

path = sys.argv[1]
outcome = os.path.join(tempfile.mkdtemp(), "outcome")
LOAD = (
    "import importlib.util\n"
    "module_spec = importlib.util.spec_from_file_location('corvane._core', %r)\n"
    "module = importlib.util.module_from_spec(module_spec)\n" % path
)
exec(LOAD)
main_module = module
try:
    interpreter = create()
except Exception as e:
    print("SKIP cannot create a sub-interpreter:", e)
    sys.exit(0)
interpreters.run_string(interpreter, (
    "try:\n"
    + "".join("    " + line + "\n" for line in LOAD.splitlines())
    + "    text = 'loaded'\n"
    "except BaseException as e:\n"
    "    text = type(e).__name__ + ': ' + str(e)\n"
    "with open(%r, 'w') as f:\n"
    "    f.write(text)\n" % outcome
))
interpreters.destroy(interpreter)
print(open(outcome).read())
exec(LOAD)
print(module is main_module, main_module.has_umfpack_backend_py())
"""


def test_second_interpreter_is_refused():
    result = subprocess.run([sys.executable, "-c", SUBINTERPRETER_SCRIPT, _core.__file__],
                            capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stderr
    if result.stdout.startswith("SKIP"):
        pytest.skip(result.stdout.strip())
    refused, still_there = result.stdout.splitlines()
    assert refused == ("ImportError: corvane._core supports one interpreter per process and is "
                       "already initialised in another one")
    assert still_there == "True True"
