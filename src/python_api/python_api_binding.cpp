// The module corvane._core: argument binding and conversion of the two solver functions,
// translation of failures into Python exceptions, and module initialisation. The solve
// itself runs in run_mode_solve, which knows nothing of Python; the record's default
// tolerance (1e-10) is the one of every call, not exposed to callers.
#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <exception>
#include <new>
#include <stdexcept>
#include <string>
#include <utility>

#include "common/internal_error.hpp"
#include "mode_solver/mode_solver.hpp"
#include "python_api/python_api.hpp"
#include "python_api_binding_convert.hpp"
#include "python_api_binding_pyref.hpp"
#include "python_api_binding_result.hpp"

namespace corvane::binding {
namespace {

// The dedicated type of internal errors; derived from BaseException so that a handler for
// Exception does not swallow a library fault. Made once per process.
PyObject* internal_error_type = nullptr;

void raise_internal_error(const char* message) noexcept {
    PyObject* type = internal_error_type != nullptr ? internal_error_type : PyExc_SystemError;
    PyRef text = PyRef::steal(PyUnicode_DecodeUTF8(message, static_cast<Py_ssize_t>(std::strlen(message)), "replace"));
    if (text) PyErr_SetObject(type, text.get());
}

// Runs one call; no C++ exception reaches the interpreter. By the time a handler runs,
// unwinding has released everything the call had built.
template <class Fn>
PyObject* guarded(Fn&& fn) noexcept {
    try {
        return fn();
    } catch (const InternalError& e) {
        raise_internal_error(e.what());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::length_error&) {
        // An array larger than the address space can hold: out of memory as well.
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        raise_internal_error(e.what());
    } catch (...) {
        raise_internal_error("unknown internal error");
    }
    return nullptr;
}

enum Parameter : std::size_t {
    kNx,
    kNy,
    kDlfX,
    kDlfY,
    kDlbX,
    kDlbY,
    kPmcX,
    kPmcY,
    kEpsTensor,
    kMuTensor,
    kNumModes,
    kNeffGuess,
    kDirection,
    kDerivativeScale,
    kNpmlX,
    kNpmlY,
    kPmlSigmaMax,
    kPmlKappaMin,
    kPmlKappaMax,
    kPmlOrder,
    kDminPmlX,
    kDminPmlY,
    kOmega,
    kKrylovDim,
    kInitialVector,
    kParameterCount
};

constexpr std::array<const char*, kParameterCount> kParameterNames = {
    "nx",           "ny",           "dlf_x",         "dlf_y",         "dlb_x",
    "dlb_y",        "pmc_x",        "pmc_y",         "eps_tensor",    "mu_tensor",
    "num_modes",    "neff_guess",   "direction",     "derivative_scale", "npml_x",
    "npml_y",       "pml_sigma_max", "pml_kappa_min", "pml_kappa_max", "pml_order",
    "dmin_pml_x",   "dmin_pml_y",   "omega",         "krylov_dim",    "initial_vector"};

// Parameters 1 to 13 have no default.
constexpr std::size_t kRequiredCount = kNumModes + 3;
static_assert(kRequiredCount == kDerivativeScale);

#define CORVANE_SOLVER_PARAMETERS                                                            \
    "(nx, ny, dlf_x, dlf_y, dlb_x, dlb_y, pmc_x, pmc_y, eps_tensor, mu_tensor, num_modes, " \
    "neff_guess, direction, derivative_scale=None, npml_x=0, npml_y=0, pml_sigma_max=2.0, "  \
    "pml_kappa_min=1.0, pml_kappa_max=3.0, pml_order=3, dmin_pml_x=True, dmin_pml_y=True, "  \
    "omega=None, krylov_dim=32, initial_vector=None)\n--\n\n"

using Slots = std::array<PyObject*, kParameterCount>;

std::size_t find_parameter(PyObject* keyword) {
    if (!PyUnicode_Check(keyword)) return kParameterCount;
    for (std::size_t i = 0; i < kParameterCount; ++i) {
        if (PyUnicode_CompareWithASCIIString(keyword, kParameterNames[i]) == 0) return i;
    }
    return kParameterCount;
}

void raise_too_many_positional(const char* function, Py_ssize_t given) {
    const char* verb = given == 1 ? "was" : "were";
    if (kRequiredCount != kParameterCount) {
        PyErr_Format(PyExc_TypeError,
                     "%s takes from %zu to %zu positional arguments but %zd %s given", function,
                     kRequiredCount, static_cast<std::size_t>(kParameterCount), given, verb);
    } else {
        PyErr_Format(PyExc_TypeError, "%s takes %zu positional arguments but %zd %s given",
                     function, static_cast<std::size_t>(kParameterCount), given, verb);
    }
}

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'".
void raise_missing(const char* function, const Slots& slots) {
    std::array<const char*, kRequiredCount> missing{};
    std::size_t count = 0;
    for (std::size_t i = 0; i < kRequiredCount; ++i) {
        if (slots[i] == nullptr) missing[count++] = kParameterNames[i];
    }
    std::string names;
    for (std::size_t i = 0; i < count; ++i) {
        if (i != 0) {
            if (count > 2) names += ',';
            names += i == count - 1 ? " and " : " ";
        }
        names += '\'';
        names += missing[i];
        names += '\'';
    }
    PyErr_Format(PyExc_TypeError, "%s missing %zu required positional %s: %s", function, count,
                 count == 1 ? "argument" : "arguments", names.c_str());
}

// Positional arguments first, then keywords; slots of parameters left out stay null.
bool bind_arguments(const char* function, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, Slots& slots) {
    if (nargs > static_cast<Py_ssize_t>(kParameterCount)) {
        raise_too_many_positional(function, nargs);
        return false;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) slots[static_cast<std::size_t>(i)] = args[i];
    const Py_ssize_t keyword_count = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < keyword_count; ++k) {
        PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
        const std::size_t index = find_parameter(keyword);
        if (index == kParameterCount) {
            PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'", function,
                         keyword);
            return false;
        }
        if (slots[index] != nullptr) {
            PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'", function,
                         kParameterNames[index]);
            return false;
        }
        slots[index] = args[nargs + k];
    }
    for (std::size_t i = 0; i < kRequiredCount; ++i) {
        if (slots[i] == nullptr) {
            raise_missing(function, slots);
            return false;
        }
    }
    return true;
}

// A TypeError becomes "argument '{name}': {message}" carrying the original's cause; any
// other exception stays as raised.
void name_argument_in_type_error(const char* name) {
    PyRef error = take_raised_exception();
    if (!error) return;
    if (!PyErr_GivenExceptionMatches(error.get(), PyExc_TypeError)) {
        set_raised_exception(std::move(error));
        return;
    }
    PyRef message = PyRef::steal(PyObject_Str(error.get()));
    if (!message) {
        PyErr_Clear();
        message = PyRef::steal(PyUnicode_FromString("<exception str() failed>"));
        if (!message) return;
    }
    PyRef text = PyRef::steal(PyUnicode_FromFormat("argument '%s': %U", name, message.get()));
    if (!text) return;
    PyRef renamed = PyRef::steal(PyObject_CallOneArg(PyExc_TypeError, text.get()));
    if (!renamed) return;
    PyException_SetCause(renamed.get(), PyException_GetCause(error.get()));
    set_raised_exception(std::move(renamed));
}

// Converts one bound value; a parameter left out keeps the default already in place.
template <class T, class Convert>
bool convert_parameter(const Slots& slots, Parameter parameter, T& out, Convert convert) {
    PyObject* value = slots[parameter];
    if (value == nullptr) return true;
    if (convert(value, out)) return true;
    name_argument_in_type_error(kParameterNames[parameter]);
    return false;
}

// In parameter order: the first failing conversion ends the call.
bool convert_arguments(const Slots& s, SolveArguments& a, FlatTensors& t) {
    return convert_parameter(s, kNx, a.nx, convert_index) &&
           convert_parameter(s, kNy, a.ny, convert_index) &&
           convert_parameter(s, kDlfX, a.dlf_x, convert_real_sequence) &&
           convert_parameter(s, kDlfY, a.dlf_y, convert_real_sequence) &&
           convert_parameter(s, kDlbX, a.dlb_x, convert_real_sequence) &&
           convert_parameter(s, kDlbY, a.dlb_y, convert_real_sequence) &&
           convert_parameter(s, kPmcX, a.pmc_x, convert_bool) &&
           convert_parameter(s, kPmcY, a.pmc_y, convert_bool) &&
           convert_parameter(s, kEpsTensor, t.eps, convert_tensor) &&
           convert_parameter(s, kMuTensor, t.mu, convert_tensor) &&
           convert_parameter(s, kNumModes, a.num_modes, convert_index) &&
           convert_parameter(s, kNeffGuess, a.neff_guess, convert_real) &&
           convert_parameter(s, kDirection, a.direction, convert_text) &&
           convert_parameter(s, kDerivativeScale, a.derivative_scale, convert_optional_real) &&
           convert_parameter(s, kNpmlX, a.npml_x, convert_index) &&
           convert_parameter(s, kNpmlY, a.npml_y, convert_index) &&
           convert_parameter(s, kPmlSigmaMax, a.pml.pml_sigma_max, convert_real) &&
           convert_parameter(s, kPmlKappaMin, a.pml.pml_kappa_min, convert_real) &&
           convert_parameter(s, kPmlKappaMax, a.pml.pml_kappa_max, convert_real) &&
           convert_parameter(s, kPmlOrder, a.pml.pml_order, convert_int32) &&
           convert_parameter(s, kDminPmlX, a.dmin_pml_x, convert_bool) &&
           convert_parameter(s, kDminPmlY, a.dmin_pml_y, convert_bool) &&
           convert_parameter(s, kOmega, a.omega, convert_optional_real) &&
           convert_parameter(s, kKrylovDim, a.krylov_dim, convert_index) &&
           convert_parameter(s, kInitialVector, a.initial_vector,
                             convert_optional_complex_sequence);
}

// Runs the signal handlers between operator applications, at most every 50 ms (the lock
// is held throughout a solve); an exception they raise (KeyboardInterrupt) stops the solve
// and stays set for the caller.
InterruptCheck signal_check() {
    return [last = std::chrono::steady_clock::now()]() mutable {
        const auto now = std::chrono::steady_clock::now();
        if (now - last < std::chrono::milliseconds(50)) return false;
        last = now;
        return PyErr_CheckSignals() != 0;
    };
}

PyObject* solve(Formulation formulation, const char* function, PyObject* const* args,
                Py_ssize_t nargsf, PyObject* kwnames) {
    Slots slots{};
    if (!bind_arguments(function, args, PyVectorcall_NARGS(nargsf), kwnames, slots)) {
        return nullptr;
    }
    SolveArguments converted;
    converted.formulation = formulation;
    FlatTensors tensors;
    if (!convert_arguments(slots, converted, tensors)) return nullptr;
    EigenOptions options;
    options.interrupted = signal_check();
    Result<ModeSolveResult> result = [&]() -> Result<ModeSolveResult> {
        if (Status placed = place_flat_tensors(std::move(tensors), converted); !placed) {
            return std::move(placed).error();
        }
        return run_mode_solve(converted, options);
    }();
    if (!result) {
        if (result.error().kind == ErrorKind::interrupted && PyErr_Occurred()) return nullptr;
        const std::string& text = result.error().text;
        PyRef message = PyRef::steal(
            PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
        PyObject* type = result.error().kind == ErrorKind::out_of_memory ? PyExc_MemoryError
                                                                         : PyExc_ValueError;
        if (message) PyErr_SetObject(type, message.get());
        return nullptr;
    }
    return result_tuple(std::move(*result));
}

PyObject* solve_diagonal_sparse_py(PyObject*, PyObject* const* args, Py_ssize_t nargsf,
                                   PyObject* kwnames) {
    return guarded([&] {
        return solve(Formulation::diagonal, "solve_diagonal_sparse_py()", args, nargsf, kwnames);
    });
}

PyObject* solve_tensorial_sparse_py(PyObject*, PyObject* const* args, Py_ssize_t nargsf,
                                    PyObject* kwnames) {
    return guarded([&] {
        return solve(Formulation::tensorial, "solve_tensorial_sparse_py()", args, nargsf,
                     kwnames);
    });
}

PyObject* has_umfpack_backend_py(PyObject*, PyObject*) { Py_RETURN_TRUE; }

// METH_FASTCALL | METH_KEYWORDS functions are stored as PyCFunction; the detour through
// a plain function pointer type keeps -Wcast-function-type quiet.
template <class Fn>
PyCFunction as_cfunction(Fn fn) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn));
}

PyMethodDef module_methods[] = {
    {"solve_diagonal_sparse_py", as_cfunction(solve_diagonal_sparse_py),
     METH_FASTCALL | METH_KEYWORDS, "solve_diagonal_sparse_py" CORVANE_SOLVER_PARAMETERS},
    {"solve_tensorial_sparse_py", as_cfunction(solve_tensorial_sparse_py),
     METH_FASTCALL | METH_KEYWORDS, "solve_tensorial_sparse_py" CORVANE_SOLVER_PARAMETERS},
    {"has_umfpack_backend_py", has_umfpack_backend_py, METH_NOARGS,
     "has_umfpack_backend_py()\n--\n\n"},
    {nullptr, nullptr, 0, nullptr}};

// m_size 0 (not -1) makes the import system call the initialiser again on a re-import,
// so the one module object can be handed out each time.
PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT, "_core", "", 0, module_methods, nullptr, nullptr, nullptr, nullptr};

// One module object per process, bound to the interpreter that first made it: its
// functions and exception type are objects of that interpreter.
PyObject* initialise_module() noexcept {
    static std::atomic<std::int64_t> owner_interpreter{-1};
    static PyObject* module = nullptr;

    const std::int64_t interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (interpreter == -1) return nullptr;
    std::int64_t expected = -1;
    if (!owner_interpreter.compare_exchange_strong(expected, interpreter) &&
        expected != interpreter) {
        PyErr_SetString(PyExc_ImportError,
                        "corvane._core supports one interpreter per process and is already "
                        "initialised in another one");
        return nullptr;
    }
    if (module != nullptr) return Py_NewRef(module);

    if (internal_error_type == nullptr) {
        internal_error_type =
            PyErr_NewException("corvane._core.InternalError", PyExc_BaseException, nullptr);
        if (internal_error_type == nullptr) return nullptr;
    }
    PyRef created = PyRef::steal(PyModule_Create(&module_definition));
    if (!created) return nullptr;
    if (PyModule_AddObjectRef(created.get(), "InternalError", internal_error_type) < 0) {
        return nullptr;
    }
    module = Py_NewRef(created.get());
    return created.release();
}

}  // namespace
}  // namespace corvane::binding

PyMODINIT_FUNC PyInit__core(void) { return corvane::binding::initialise_module(); }
