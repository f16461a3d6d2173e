// The module corvane._engine: the solve pipelines of the shared library on numpy buffers.
// Arrays enter as buffers and leave as arrays that own the native memory; the interpreter
// lock is released for all native work, so solves on several Python threads run at once.
// Argument checking with user-facing messages lives in python/corvane/engine.py.
#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/string.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <complex>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "common/internal_error.hpp"
#include "eigensolve/eigensolve.hpp"
#include "eigensolve/native_arnoldi.hpp"
#include "mode_solver/mode_solver.hpp"
#include "mode_solver/solve_arguments.hpp"

namespace nb = nanobind;

namespace corvane::engine {
namespace {

static_assert(sizeof(std::complex<double>) == sizeof(Complex), "numpy complex128 is two doubles");

using RealArray = nb::ndarray<const double, nb::ndim<1>, nb::c_contig, nb::device::cpu>;
using ComplexArray = nb::ndarray<const std::complex<double>, nb::ndim<1>, nb::c_contig, nb::device::cpu>;
using TensorArray = nb::ndarray<const std::complex<double>, nb::ndim<2>, nb::c_contig, nb::device::cpu>;

// A flag another Python thread sets to stop a solve at its next operator application.
struct CancelFlag {
    std::atomic<bool> set{false};
};

// The symbolic analysis kept across solves of one operator pattern.
struct Workspace {
    UmfpackSymbolicCache symbolic;
};

// Raised when a CancelFlag stopped a solve.
struct Cancelled : std::runtime_error {
    using std::runtime_error::runtime_error;
};

PyObject* internal_error_type = nullptr;

std::vector<double> to_vector(const RealArray& a) {
    return std::vector<double>(a.data(), a.data() + a.shape(0));
}

std::vector<Complex> to_vector(const ComplexArray& a) {
    const Complex* p = reinterpret_cast<const Complex*>(a.data());
    return std::vector<Complex>(p, p + a.shape(0));
}

// Row 3 r + c of the (9, n) array is tensor entry [r][c].
MaterialTensor to_tensor(const TensorArray& a) {
    MaterialTensor t;
    const std::size_t n = a.shape(1);
    const Complex* p = reinterpret_cast<const Complex*>(a.data());
    for (std::size_t k = 0; k < 9; ++k) t[k / 3][k % 3].assign(p + k * n, p + (k + 1) * n);
    return t;
}

// Everything a call passes, still as views of the caller's buffers.
struct CallInputs {
    std::string formulation;
    std::uint64_t nx, ny;
    RealArray dlf_x, dlf_y, dlb_x, dlb_y;
    bool pmc_x, pmc_y;
    TensorArray eps, mu;
    std::uint64_t num_modes;
    double neff_guess;
    std::string direction;
    std::optional<double> derivative_scale;
    std::uint64_t npml_x, npml_y;
    PmlParameters pml;
    bool dmin_pml_x, dmin_pml_y;
    std::optional<double> omega;
    std::uint64_t krylov_dim;
    std::optional<ComplexArray> initial_vector;
    std::optional<ComplexArray> sx_f, sx_b, sy_f, sy_b;
    double tol;
};

// Copies the views into native memory; runs without the interpreter lock.
SolveArguments native_inputs(const CallInputs& c) {
    SolveArguments in;
    in.formulation = c.formulation == "tensorial" ? Formulation::tensorial : Formulation::diagonal;
    in.nx = c.nx;
    in.ny = c.ny;
    in.dlf_x = to_vector(c.dlf_x);
    in.dlf_y = to_vector(c.dlf_y);
    in.dlb_x = to_vector(c.dlb_x);
    in.dlb_y = to_vector(c.dlb_y);
    in.pmc_x = c.pmc_x;
    in.pmc_y = c.pmc_y;
    in.eps = to_tensor(c.eps);
    in.mu = to_tensor(c.mu);
    in.num_modes = c.num_modes;
    in.neff_guess = c.neff_guess;
    in.direction = c.direction;
    in.derivative_scale = c.derivative_scale;
    in.npml_x = c.npml_x;
    in.npml_y = c.npml_y;
    in.pml = c.pml;
    in.dmin_pml_x = c.dmin_pml_x;
    in.dmin_pml_y = c.dmin_pml_y;
    in.omega = c.omega;
    in.krylov_dim = c.krylov_dim;
    if (c.initial_vector) in.initial_vector = to_vector(*c.initial_vector);
    if (c.sx_f && c.sx_b && c.sy_f && c.sy_b) {
        in.pml_stretch = PmlStretch{to_vector(*c.sx_f), to_vector(*c.sx_b), to_vector(*c.sy_f),
                                    to_vector(*c.sy_b)};
    }
    in.tol = c.tol;
    return in;
}

// Polls for interruption between operator applications. On the main thread it takes the
// interpreter lock at most every 100 ms to run the signal handlers; a raised exception is
// kept to be restored once the solve has unwound.
class InterruptPoll {
public:
    InterruptPoll(CancelFlag* cancel, bool check_signals)
        : cancel_(cancel), check_signals_(check_signals) {}
    InterruptPoll(const InterruptPoll&) = delete;
    InterruptPoll& operator=(const InterruptPoll&) = delete;
    ~InterruptPoll() {
        if (pending_type_ != nullptr || pending_value_ != nullptr || pending_trace_ != nullptr) {
            nb::gil_scoped_acquire lock;
            Py_XDECREF(pending_type_);
            Py_XDECREF(pending_value_);
            Py_XDECREF(pending_trace_);
        }
    }

    bool operator()() {
        if (cancel_ != nullptr && cancel_->set.load(std::memory_order_relaxed)) return true;
        if (!check_signals_) return false;
        const auto now = std::chrono::steady_clock::now();
        if (now - last_check_ < std::chrono::milliseconds(100)) return false;
        last_check_ = now;
        nb::gil_scoped_acquire lock;
        if (PyErr_CheckSignals() == 0) return false;
        PyErr_Fetch(&pending_type_, &pending_value_, &pending_trace_);
        return true;
    }

    // With the lock held: the exception a signal handler raised becomes the current one.
    bool restore_pending() {
        if (pending_type_ == nullptr) return false;
        PyErr_Restore(std::exchange(pending_type_, nullptr), std::exchange(pending_value_, nullptr),
                      std::exchange(pending_trace_, nullptr));
        return true;
    }

private:
    CancelFlag* cancel_;
    bool check_signals_;
    std::chrono::steady_clock::time_point last_check_ = std::chrono::steady_clock::now();
    PyObject* pending_type_ = nullptr;
    PyObject* pending_value_ = nullptr;
    PyObject* pending_trace_ = nullptr;
};

// Caller errors become ValueError, a factorisation out of memory MemoryError.
[[noreturn]] void raise_error(const Error& error, InterruptPoll& poll) {
    if (error.kind == ErrorKind::interrupted) {
        if (poll.restore_pending()) throw nb::python_error();
        throw Cancelled("the solve was cancelled through its CancelFlag");
    }
    if (error.kind == ErrorKind::out_of_memory) {
        PyErr_SetString(PyExc_MemoryError, error.text.c_str());
        throw nb::python_error();
    }
    throw nb::value_error(error.text.c_str());
}

// A 1-D or 2-D numpy array that owns the vector's memory.
template <class T, class Out = T>
nb::object owning_array(std::vector<T>&& values, std::initializer_list<std::size_t> shape) {
    auto* owned = new std::vector<T>(std::move(values));
    nb::capsule owner(owned, [](void* p) noexcept { delete static_cast<std::vector<T>*>(p); });
    return nb::cast(nb::ndarray<nb::numpy, Out>(reinterpret_cast<Out*>(owned->data()), shape, owner));
}

// The (6, M, n) field array, filled one component array at a time so that each is freed
// as soon as it has been copied.
nb::object field_array(ComponentFields&& fields, std::size_t modes, std::size_t n) {
    auto* owned = new std::vector<Complex>();
    nb::capsule owner(owned, [](void* p) noexcept { delete static_cast<std::vector<Complex>*>(p); });
    owned->reserve(6 * modes * n);
    std::vector<std::vector<Complex>>* components[6] = {&fields.ex, &fields.ey, &fields.ez,
                                                         &fields.hx, &fields.hy, &fields.hz};
    for (auto* component : components) {
        for (std::vector<Complex>& mode : *component) {
            internal_check(mode.size() == n, "field array length equals the cell count");
            owned->insert(owned->end(), mode.begin(), mode.end());
            std::vector<Complex>().swap(mode);
        }
    }
    internal_check(owned->size() == 6 * modes * n, "six field components per mode");
    return nb::cast(nb::ndarray<nb::numpy, std::complex<double>>(
        reinterpret_cast<std::complex<double>*>(owned->data()), {6, modes, n}, owner));
}

nb::dict result_dict(ModeSolveResult&& r, std::size_t n) {
    const std::size_t modes = r.neffs.size();
    const EigenStatistics& s = r.statistics;
    nb::dict timings;
    timings["assembly"] = r.timings.assembly;
    timings["symbolic"] = s.symbolic_seconds;
    timings["numeric"] = s.numeric_seconds;
    timings["iteration"] = s.iteration_seconds;
    timings["factor_cpu"] = s.factor_cpu_seconds;
    timings["iteration_cpu"] = s.iteration_cpu_seconds;
    timings["eigen"] = r.timings.eigen;
    timings["fields"] = r.timings.fields;
    timings["orthogonalization"] = r.timings.orthogonalization;
    nb::dict details;
    details["reused_symbolic"] = s.reused_symbolic;
    details["wide_indices"] = s.wide_indices;
    details["metis"] = s.metis;
    details["refined_candidates"] = s.refined_candidates;

    nb::dict out;
    out["neffs"] = owning_array<Complex, std::complex<double>>(std::move(r.neffs), {modes});
    out["fields"] = field_array(std::move(r.fields), modes, n);
    out["residuals"] = owning_array<double>(std::move(r.residuals), {modes});
    out["mode_powers"] = owning_array<double>(std::move(r.diagnostics.mode_powers), {modes});
    out["self_overlaps"] = owning_array<Complex, std::complex<double>>(
        std::move(r.diagnostics.self_overlaps), {modes});
    out["max_cross_overlap"] = r.diagnostics.max_cross_overlap;
    out["backend"] = r.backend;
    out["operator_rows"] = r.operator_rows;
    out["operator_nnz"] = r.operator_nnz;
    out["operator_applications"] = s.operator_applications;
    out["timings"] = timings;
    out["details"] = details;
    return out;
}

nb::dict solve(const CallInputs& call, const std::string& ordering, bool refine, bool wide,
               const std::string& iteration, unsigned threads, Workspace* workspace,
               CancelFlag* cancel, bool check_signals) {
    InterruptPoll poll(cancel, check_signals);
    EigenOptions options;
    options.umfpack.ordering = ordering == "amd" ? FillOrdering::amd : FillOrdering::metis;
    options.umfpack.refine = refine;
    options.umfpack.wide_indices = wide;
    options.umfpack.symbolic_cache = workspace != nullptr ? &workspace->symbolic : nullptr;
    options.iteration =
        iteration == "arpack" ? EigenIteration::arpack : EigenIteration::krylov_schur;
    options.threads = threads;
    options.interrupted = [&poll] { return poll(); };

    const std::size_t n = static_cast<std::size_t>(call.nx * call.ny);
    std::optional<Result<ModeSolveResult>> result;
    {
        nb::gil_scoped_release unlocked;
        SolveArguments in = native_inputs(call);
        // ARPACK draws a missing start from a generator whose state outlives the call: a
        // fixed start keeps two identical calls identical.
        if (!in.initial_vector && options.iteration == EigenIteration::arpack) {
            in.initial_vector = arnoldi_start_vector(unknown_count(in));
        }
        result.emplace(run_mode_solve(in, options));
    }
    if (!*result) raise_error(result->error(), poll);
    return result_dict(std::move(**result), n);
}

nb::tuple operator_csc(const CallInputs& call) {
    std::optional<Result<SparseMatrix>> a;
    {
        nb::gil_scoped_release unlocked;
        a.emplace(eigen_operator(native_inputs(call)));
    }
    if (!*a) throw nb::value_error(a->error().text.c_str());
    SparseMatrix& m = **a;
    std::vector<std::int64_t> indptr(m.col_ptr.begin(), m.col_ptr.end());
    std::vector<std::int64_t> indices(m.row_indices.begin(), m.row_indices.end());
    const std::size_t cols = m.cols;
    const std::size_t nnz = m.values.size();
    nb::tuple shape = nb::make_tuple(m.rows, m.cols);
    std::vector<std::size_t>().swap(m.col_ptr);
    std::vector<std::size_t>().swap(m.row_indices);
    return nb::make_tuple(shape, owning_array<std::int64_t>(std::move(indptr), {cols + 1}),
                          owning_array<std::int64_t>(std::move(indices), {nnz}),
                          owning_array<Complex, std::complex<double>>(std::move(m.values), {nnz}));
}

}  // namespace
}  // namespace corvane::engine

NB_MODULE(_engine, m) {
    using namespace corvane::engine;
    m.doc() = "Native solve path of corvane.engine; call it through corvane.engine.";

    // The library's one internal-error type, shared with corvane._core.
    corvane::engine::internal_error_type =
        nb::object(nb::module_::import_("corvane._core").attr("InternalError")).release().ptr();
    nb::register_exception_translator([](const std::exception_ptr& p, void*) {
        try {
            std::rethrow_exception(p);
        } catch (const corvane::InternalError& e) {
            PyErr_SetString(corvane::engine::internal_error_type, e.what());
        }
    });
    static nb::exception<Cancelled> cancelled(m, "SolveCancelled");

    nb::class_<CancelFlag>(m, "CancelFlag")
        .def(nb::init<>())
        .def("set", [](CancelFlag& f) { f.set.store(true); })
        .def("clear", [](CancelFlag& f) { f.set.store(false); })
        .def_prop_ro("is_set", [](const CancelFlag& f) { return f.set.load(); });
    nb::class_<Workspace>(m, "Workspace")
        .def(nb::init<>())
        .def_prop_ro("symbolic_reuses", [](const Workspace& w) { return w.symbolic.hits(); });

    nb::class_<CallInputs>(m, "CallInputs")
        .def(nb::init<>())
        .def_rw("formulation", &CallInputs::formulation)
        .def_rw("nx", &CallInputs::nx)
        .def_rw("ny", &CallInputs::ny)
        .def_rw("dlf_x", &CallInputs::dlf_x)
        .def_rw("dlf_y", &CallInputs::dlf_y)
        .def_rw("dlb_x", &CallInputs::dlb_x)
        .def_rw("dlb_y", &CallInputs::dlb_y)
        .def_rw("pmc_x", &CallInputs::pmc_x)
        .def_rw("pmc_y", &CallInputs::pmc_y)
        .def_rw("eps", &CallInputs::eps)
        .def_rw("mu", &CallInputs::mu)
        .def_rw("num_modes", &CallInputs::num_modes)
        .def_rw("neff_guess", &CallInputs::neff_guess)
        .def_rw("direction", &CallInputs::direction)
        .def_rw("derivative_scale", &CallInputs::derivative_scale)
        .def_rw("npml_x", &CallInputs::npml_x)
        .def_rw("npml_y", &CallInputs::npml_y)
        .def_prop_rw(
            "pml_sigma_max", [](const CallInputs& c) { return c.pml.pml_sigma_max; },
            [](CallInputs& c, double v) { c.pml.pml_sigma_max = v; })
        .def_prop_rw(
            "pml_kappa_min", [](const CallInputs& c) { return c.pml.pml_kappa_min; },
            [](CallInputs& c, double v) { c.pml.pml_kappa_min = v; })
        .def_prop_rw(
            "pml_kappa_max", [](const CallInputs& c) { return c.pml.pml_kappa_max; },
            [](CallInputs& c, double v) { c.pml.pml_kappa_max = v; })
        .def_prop_rw(
            "pml_order", [](const CallInputs& c) { return c.pml.pml_order; },
            [](CallInputs& c, std::int32_t v) { c.pml.pml_order = v; })
        .def_rw("dmin_pml_x", &CallInputs::dmin_pml_x)
        .def_rw("dmin_pml_y", &CallInputs::dmin_pml_y)
        .def_rw("omega", &CallInputs::omega)
        .def_rw("krylov_dim", &CallInputs::krylov_dim)
        .def_rw("initial_vector", &CallInputs::initial_vector)
        .def_rw("sx_f", &CallInputs::sx_f)
        .def_rw("sx_b", &CallInputs::sx_b)
        .def_rw("sy_f", &CallInputs::sy_f)
        .def_rw("sy_b", &CallInputs::sy_b)
        .def_rw("tol", &CallInputs::tol);

    m.def("solve", &solve, nb::arg("inputs"), nb::arg("ordering"), nb::arg("refine"),
          nb::arg("wide"), nb::arg("iteration"), nb::arg("threads"),
          nb::arg("workspace").none(), nb::arg("cancel").none(), nb::arg("check_signals"));
    m.def("operator_csc", &operator_csc, nb::arg("inputs"));
}
