// Mode records, the Lorentz overlap kernels and the two solve pipelines.
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

Result<ModeSolveResult> solve_diagonal_sparse(const MaterialTensor& eps, const MaterialTensor& mu,
                                              const DerivativeSet& derivatives,
                                              std::span<const double> cell_areas,
                                              double neff_guess, double tol,
                                              std::uint64_t num_modes, std::string_view direction,
                                              std::optional<std::span<const Complex>> initial_vector,
                                              std::uint64_t krylov_dim);

// The same under the given eigen options (the engine's route, an interrupt check).
Result<ModeSolveResult> solve_diagonal_sparse_with(const MaterialTensor& eps, const MaterialTensor& mu,
                                                   const DerivativeSet& derivatives,
                                                   std::span<const double> cell_areas,
                                                   double neff_guess, double tol,
                                                   std::uint64_t num_modes, std::string_view direction,
                                                   std::optional<std::span<const Complex>> initial_vector,
                                                   std::uint64_t krylov_dim,
                                                   const EigenOptions& options);

Result<ModeSolveResult> solve_tensorial_sparse(const MaterialTensor& eps, const MaterialTensor& mu,
                                               const DerivativeSet& derivatives,
                                               std::span<const double> cell_areas,
                                               double neff_guess, double tol,
                                               std::uint64_t num_modes, std::string_view direction,
                                               std::optional<std::span<const Complex>> initial_vector,
                                               std::uint64_t krylov_dim);

// The same under the given eigen options (the engine's route, an interrupt check).
Result<ModeSolveResult> solve_tensorial_sparse_with(const MaterialTensor& eps, const MaterialTensor& mu,
                                                    const DerivativeSet& derivatives,
                                                    std::span<const double> cell_areas,
                                                    double neff_guess, double tol,
                                                    std::uint64_t num_modes, std::string_view direction,
                                                    std::optional<std::span<const Complex>> initial_vector,
                                                    std::uint64_t krylov_dim,
                                                    const EigenOptions& options);

}  // namespace corvane
