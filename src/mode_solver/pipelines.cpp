// The solve pipeline of both formulations: operator, shift-invert eigenpairs, effective
// indices, field reconstruction, Lorentz orthogonalisation and the regrouped result.
#include <algorithm>
#include <chrono>
#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "eigensolve/eigensolve.hpp"
#include "mode_solver/mode_solver.hpp"
#include "mode_solver/pipeline_steps.hpp"
#include "operators.hpp"

namespace corvane {
namespace mode_solver_detail {

SparseMatrix reciprocal_diagonal(const std::vector<Complex>& values) {
    std::vector<Complex> reciprocals;
    reciprocals.reserve(values.size());
    for (const Complex z : values) reciprocals.push_back(inv(z));
    return SparseMatrix::diagonal(reciprocals);
}

namespace {

std::vector<Complex> copy_block(std::span<const Complex> v, std::size_t block, std::size_t n) {
    const std::span<const Complex> part = v.subspan(block * n, n);
    return std::vector<Complex>(part.begin(), part.end());
}

std::vector<Complex> difference(const std::vector<Complex>& a, const std::vector<Complex>& b) {
    const std::size_t count = std::min(a.size(), b.size());
    std::vector<Complex> d;
    d.reserve(count);
    for (std::size_t k = 0; k < count; ++k) d.push_back(a[k] - b[k]);
    return d;
}

void scale_to_magnetic_field(std::vector<Complex>& values) {
    for (Complex& v : values) v = times_minus_i_c(v, kMagneticFactor);
}

}  // namespace

ModeFields diagonal_mode_fields(const SparseDiagonalOperators& ops, const DerivativeSet& d,
                                const SparseMatrix& ie, const SparseMatrix& im,
                                std::span<const Complex> v, Complex neff, std::size_t n) {
    check_equal(v.size(), 2 * n);
    ModeFields mode;
    mode.ex = copy_block(v, 0, n);
    mode.ey = copy_block(v, 1, n);

    const std::vector<Complex> h = ops.e_to_h.matvec(v);
    std::vector<Complex> hx0;
    std::vector<Complex> hy0;
    hx0.reserve(n);
    hy0.reserve(n);
    for (std::size_t k = 0; k < n; ++k) hx0.push_back(divide_by_i_neff(h[k], neff));
    for (std::size_t k = n; k < 2 * n; ++k) hy0.push_back(divide_by_i_neff(h[k], neff));

    std::vector<Complex> hz0 =
        im.matvec(difference(d.dxf.matvec(mode.ey), d.dyf.matvec(mode.ex)));

    std::vector<Complex> t = ops.eps_cross.matvec(v);
    for (Complex& value : t) value = divide_by_i_neff(value, neff);
    const std::span<const Complex> ts(t);
    mode.ez = ie.matvec(difference(d.dxb.matvec(ts.subspan(n, n)), d.dyb.matvec(ts.subspan(0, n))));

    scale_to_magnetic_field(hx0);
    scale_to_magnetic_field(hy0);
    scale_to_magnetic_field(hz0);
    mode.hx = std::move(hx0);
    mode.hy = std::move(hy0);
    mode.hz = std::move(hz0);
    return mode;
}

// Ez and Hz follow from the z components of the curl equations, the zx and zy couplings
// moved to the right-hand side.
ModeFields tensorial_mode_fields(const MaterialTensor& eps, const MaterialTensor& mu,
                                 const DerivativeSet& d, const SparseMatrix& ie,
                                 const SparseMatrix& im, std::span<const Complex> v,
                                 std::size_t n) {
    check_equal(v.size(), 4 * n);
    ModeFields mode;
    mode.ex = copy_block(v, 0, n);
    mode.ey = copy_block(v, 1, n);
    std::vector<Complex> hx0 = copy_block(v, 2, n);
    std::vector<Complex> hy0 = copy_block(v, 3, n);

    const std::vector<Complex>& eps_zx = eps[2][0];
    const std::vector<Complex>& eps_zy = eps[2][1];
    const std::vector<Complex>& mu_zx = mu[2][0];
    const std::vector<Complex>& mu_zy = mu[2][1];

    {
        const std::vector<Complex> p = d.dxf.matvec(mode.ey);
        const std::vector<Complex> q = d.dyf.matvec(mode.ex);
        const std::size_t count =
            std::min({p.size(), q.size(), mu_zx.size(), mu_zy.size(), hx0.size(), hy0.size()});
        std::vector<Complex> x;
        x.reserve(count);
        for (std::size_t k = 0; k < count; ++k) {
            x.push_back(((p[k] - q[k]) - mu_zx[k] * hx0[k]) - mu_zy[k] * hy0[k]);
        }
        mode.hz = im.matvec(x);
    }
    {
        const std::vector<Complex> p = d.dxb.matvec(hy0);
        const std::vector<Complex> q = d.dyb.matvec(hx0);
        const std::size_t count = std::min(
            {p.size(), q.size(), eps_zx.size(), eps_zy.size(), mode.ex.size(), mode.ey.size()});
        std::vector<Complex> y;
        y.reserve(count);
        for (std::size_t k = 0; k < count; ++k) {
            y.push_back(((p[k] - q[k]) - eps_zx[k] * mode.ex[k]) - eps_zy[k] * mode.ey[k]);
        }
        mode.ez = ie.matvec(y);
    }

    scale_to_magnetic_field(hx0);
    scale_to_magnetic_field(hy0);
    scale_to_magnetic_field(mode.hz);
    mode.hx = std::move(hx0);
    mode.hy = std::move(hy0);
    return mode;
}

}  // namespace mode_solver_detail

namespace {

using namespace mode_solver_detail;

constexpr const char* kNoModesBackend = "sparse_shift_invert";

// One eigenpair after its eigenvalue has been turned into an effective index.
struct IndexedPair {
    Complex neff;
    std::vector<Complex> eigenvector;
    double residual = 0.0;
    const char* backend = "";
};

std::vector<IndexedPair> indexed_pairs(std::vector<Eigenpair>&& pairs, Complex (*neff_of)(Complex)) {
    std::vector<IndexedPair> indexed;
    indexed.reserve(pairs.size());
    for (Eigenpair& pair : pairs) {
        indexed.push_back({neff_of(pair.eigenvalue), std::move(pair.eigenvector), pair.residual,
                           pair.backend});
    }
    sort_by_descending_index(indexed, [](const IndexedPair& p) { return p.neff; });
    return indexed;
}

// What the field reconstruction of every mode reads.
struct FieldInputs {
    const SolveArguments& args;
    const DerivativeSet& d;
    SparseMatrix ie;  // 1 / eps_zz
    SparseMatrix im;  // 1 / mu_zz
    std::size_t n;
};

// The diagonal formulation: eigenvalue -neff^2 on (Ex, Ey).
class DiagonalFormulation {
public:
    DiagonalFormulation(const SolveArguments& a, const DerivativeSet& d)
        : ops_(assemble_sparse_diagonal_operators(a.eps, a.mu, d)) {}
    const SparseMatrix& eigen_operator() const { return ops_.eigen_operator; }
    static Complex shift(double neff_guess) { return {(-neff_guess) * neff_guess, +0.0}; }
    static Complex effective_index(Complex lambda) { return diagonal_effective_index(lambda); }
    Result<ModeFields> mode_fields(const FieldInputs& f, const IndexedPair& pair) const {
        return diagonal_mode_fields(ops_, f.d, f.ie, f.im, pair.eigenvector, pair.neff, f.n);
    }

private:
    SparseDiagonalOperators ops_;
};

// The tensorial formulation: eigenvalue neff on (Ex, Ey, Hx', Hy').
class TensorialFormulation {
public:
    TensorialFormulation(const SolveArguments& a, const DerivativeSet& d)
        : a_(assemble_sparse_tensorial_operator(a.eps, a.mu, d)) {}
    const SparseMatrix& eigen_operator() const { return a_; }
    static Complex shift(double neff_guess) { return {neff_guess, +0.0}; }
    static Complex effective_index(Complex lambda) { return lambda; }
    Result<ModeFields> mode_fields(const FieldInputs& f, const IndexedPair& pair) const {
        if (pair.eigenvector.size() != 4 * f.n) {
            return fail("tensorial eigenvector has an unexpected length");
        }
        return tensorial_mode_fields(f.args.eps, f.args.mu, f.d, f.ie, f.im, pair.eigenvector, f.n);
    }

private:
    SparseMatrix a_;
};

void apply_direction(ModeFields& mode, std::string_view direction) {
    if (!is_backward(direction)) return;
    negate(mode.ez);
    negate(mode.hx);
    negate(mode.hy);
}

// The per-mode lists of a solve, filled in sorted mode order.
struct ModeList {
    std::vector<Complex> neffs;
    std::vector<double> residuals;
    std::vector<ModeFields> modes;
};

// Seconds since the last call, for the phase split of a solve.
class PhaseClock {
public:
    double lap() {
        const auto now = std::chrono::steady_clock::now();
        const double seconds = std::chrono::duration<double>(now - last_).count();
        last_ = now;
        return seconds;
    }

private:
    std::chrono::steady_clock::time_point last_ = std::chrono::steady_clock::now();
};

// The statistics record the caller asked for, or a local one.
EigenOptions with_statistics(const EigenOptions& options, EigenStatistics& statistics) {
    EigenOptions o = options;
    o.statistics = &statistics;
    return o;
}

std::string backend_label(const std::vector<IndexedPair>& pairs) {
    return pairs.empty() ? std::string(kNoModesBackend) : std::string(pairs.front().backend);
}

// The frame both formulations run in. The operator (and what the fields need of its
// assembly) lives only until the fields are made; orthogonalisation runs without it.
template <class Formulation>
Result<ModeSolveResult> run_pipeline(const SolveArguments& a, const DerivativeSet& d,
                                     std::span<const double> cell_areas,
                                     const EigenOptions& options) {
    const std::size_t n = a.eps[0][0].size();
    if (Status areas = check_cell_areas(cell_areas, n); !areas) return std::move(areas).error();
    std::optional<std::span<const Complex>> initial_vector;
    if (a.initial_vector) initial_vector = std::span<const Complex>(*a.initial_vector);

    PhaseClock clock;
    ModeSolveResult result;
    ModeList list;
    {
        const Formulation formulation(a, d);
        const SparseMatrix& op = formulation.eigen_operator();
        result.operator_rows = op.rows;
        result.operator_nnz = op.values.size();
        result.timings.assembly = clock.lap();

        auto found = selected_sparse_shift_invert_eigenpairs(
            op, a.num_modes, initial_vector, a.krylov_dim, Formulation::shift(a.neff_guess), a.tol,
            with_statistics(options, result.statistics));
        result.timings.eigen = clock.lap();
        if (!found) return std::move(found).error();
        const std::vector<IndexedPair> pairs =
            indexed_pairs(std::move(found).value(), Formulation::effective_index);
        result.backend = backend_label(pairs);

        const FieldInputs fields{a, d, reciprocal_diagonal(a.eps[2][2]),
                                 reciprocal_diagonal(a.mu[2][2]), n};
        for (const IndexedPair& pair : pairs) {
            Result<ModeFields> mode = formulation.mode_fields(fields, pair);
            if (!mode) return std::move(mode).error();
            apply_direction(*mode, a.direction);
            list.neffs.push_back(pair.neff);
            list.residuals.push_back(pair.residual);
            list.modes.push_back(std::move(*mode));
        }
    }
    result.timings.fields = clock.lap();
    result.diagnostics = lorentz_orthogonalize_and_normalize(list.modes, cell_areas);
    result.timings.orthogonalization = clock.lap();
    result.neffs = std::move(list.neffs);
    result.fields = collect_mode_fields(std::move(list.modes));
    result.residuals = std::move(list.residuals);
    return result;
}

}  // namespace

Result<ModeSolveResult> solve_modes(const SolveArguments& args, const DerivativeSet& derivatives,
                                    std::span<const double> cell_areas,
                                    const EigenOptions& options) {
    if (args.formulation == Formulation::diagonal) {
        return run_pipeline<DiagonalFormulation>(args, derivatives, cell_areas, options);
    }
    return run_pipeline<TensorialFormulation>(args, derivatives, cell_areas, options);
}

Result<ModeSolveResult> run_mode_solve(const SolveArguments& args, const EigenOptions& options) {
    Result<DerivativeSet> derivatives = derivatives_for(args);
    if (!derivatives) return std::move(derivatives).error();
    const std::vector<double> cell_areas = cell_areas_from_steps(args.dlf_x, args.dlf_y);
    return solve_modes(args, *derivatives, cell_areas, options);
}

Result<SparseMatrix> eigen_operator(const SolveArguments& args) {
    Result<DerivativeSet> derivatives = derivatives_for(args);
    if (!derivatives) return std::move(derivatives).error();
    if (args.formulation == Formulation::diagonal) {
        return std::move(assemble_sparse_diagonal_operators(args.eps, args.mu, *derivatives).eigen_operator);
    }
    return assemble_sparse_tensorial_operator(args.eps, args.mu, *derivatives);
}

}  // namespace corvane
