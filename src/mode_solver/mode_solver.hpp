// Mode records, the Lorentz overlap kernels and the solve pipeline of both formulations.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/complex.hpp"
#include "common/result.hpp"
#include "derivatives/derivatives.hpp"
#include "eigensolve/eigensolve.hpp"
#include "mode_solver/solve_arguments.hpp"
#include "sparse_matrix/sparse_matrix.hpp"

namespace corvane {

// The six field components of one mode, one value per cell in grid order.
struct ModeFields {
    std::vector<Complex> ex, ey, ez, hx, hy, hz;
};

// The same data regrouped by component: each list holds one array per mode.
struct ComponentFields {
    std::vector<std::vector<Complex>> ex, ey, ez, hx, hy, hz;
};

struct OrthogonalizationDiagnostics {
    std::vector<double> mode_powers;
    std::vector<Complex> self_overlaps;
    double max_cross_overlap = 0.0;
};

// Wall-clock seconds of the pipeline phases around the eigen solution.
struct PipelineTimings {
    double assembly = 0.0;
    double eigen = 0.0;  // factorisation and iteration, split in EigenStatistics
    double fields = 0.0;
    double orthogonalization = 0.0;
};

struct ModeSolveResult {
    std::vector<Complex> neffs;
    ComponentFields fields;
    std::string backend;
    std::vector<double> residuals;
    OrthogonalizationDiagnostics diagnostics;
    std::uint64_t operator_rows = 0;
    std::uint64_t operator_nnz = 0;
    EigenStatistics statistics;
    PipelineTimings timings;
};

// Moves every array out of the mode records; nothing is copied.
ComponentFields collect_mode_fields(std::vector<ModeFields>&& modes);

// Unconjugated reciprocity overlap, exactly symmetric in a and b.
Complex lorentz_overlap(const ModeFields& a, const ModeFields& b,
                        std::span<const double> cell_areas);
// Scales the mode so that the modulus of its transverse power sum is 1.
void normalize_to_unit_power(ModeFields& fields, std::span<const double> cell_areas);
// Normalises, Lorentz-orthogonalises (modified Gram-Schmidt) and phase-fixes in place.
OrthogonalizationDiagnostics lorentz_orthogonalize_and_normalize(
    std::vector<ModeFields>& modes, std::span<const double> cell_areas);

// The pipeline of the record's formulation on derivatives and cell areas already made:
// operator, shift-invert eigenpairs nearest the guess, effective indices, fields, Lorentz
// orthogonalisation. The options choose the eigen route; their defaults are the exact
// module's.
Result<ModeSolveResult> solve_modes(const SolveArguments& args, const DerivativeSet& derivatives,
                                    std::span<const double> cell_areas,
                                    const EigenOptions& options = {});

// One whole call: the derivatives and cell areas of the record, then its pipeline.
Result<ModeSolveResult> run_mode_solve(const SolveArguments& args, const EigenOptions& options = {});

// The assembled eigen-operator of the record (eigenvalue -neff^2 for the diagonal
// formulation, neff for the tensorial one).
Result<SparseMatrix> eigen_operator(const SolveArguments& args);

}  // namespace corvane
