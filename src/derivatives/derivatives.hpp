// Discretisation of the cross-section: material tensor input, the finite-difference
// derivative matrices of the staggered grid, and the PML coordinate stretching.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "common/complex.hpp"
#include "common/result.hpp"
#include "sparse_matrix/sparse_matrix.hpp"

namespace corvane {

// Vacuum impedance (ohm) and vacuum permittivity per micrometre (F/m * 1e-6).
inline constexpr double Z0 = 376.7303136668535;
inline constexpr double EPS0_UM = 8.854187812800384e-18;

// Entry [r][c] is tensor row r, column c (0 = x, 1 = y, 2 = z); each a grid array in
// the order p = ix * ny + iy.
using MaterialTensor = std::array<std::array<std::vector<Complex>, 3>, 3>;

// Component k of the flat form sits at row k / 3, column k % 3.
Result<MaterialTensor> tensor_from_flat(std::span<const std::vector<Complex>> components,
                                        std::uint64_t cell_count);

// Steps of the two axes, in micrometres; only the first nx (ny) values are read.
struct StepPair {
    std::span<const double> x;
    std::span<const double> y;
};

// The four derivative matrices in their fixed order Dxf, Dxb, Dyf, Dyb.
struct DerivativeSet {
    SparseMatrix dxf;
    SparseMatrix dxb;
    SparseMatrix dyf;
    SparseMatrix dyb;

    SparseMatrix& operator[](std::size_t k) { return k == 0 ? dxf : k == 1 ? dxb : k == 2 ? dyf : dyb; }
    const SparseMatrix& operator[](std::size_t k) const {
        return k == 0 ? dxf : k == 1 ? dxb : k == 2 ? dyf : dyb;
    }
};

// pmc_x / pmc_y select a magnetic wall at the low edge of that axis (else electric).
DerivativeSet create_d_matrices_sparse(std::uint64_t nx, std::uint64_t ny, StepPair dlf,
                                       StepPair dlb, bool pmc_x, bool pmc_y);

struct PmlParameters {
    double pml_sigma_max = 2.0;
    double pml_kappa_min = 1.0;
    double pml_kappa_max = 3.0;
    std::int32_t pml_order = 3;
};

// Mean of the diagonal components over the strips x-low, x-high, y-low, y-high.
std::array<Complex, 4> pml_average_all_sides(std::uint64_t nx, std::uint64_t ny,
                                             std::uint64_t npml_x, std::uint64_t npml_y,
                                             const MaterialTensor& tensor);

// Stretch factors of one axis; staggering is "f" (forward rows) or "b" (backward rows).
std::vector<Complex> create_sfactor(std::string_view staggering, std::span<const double> steps,
                                    std::uint64_t cells, std::uint64_t npml, double omega,
                                    bool low_side, std::pair<Complex, Complex> side_factors,
                                    const PmlParameters& params);

// Diagonal matrices of reciprocal stretch factors in the order Sxf, Sxb, Syf, Syb.
std::array<SparseMatrix, 4> create_s_matrices_sparse_with_profile(
    std::uint64_t nx, std::uint64_t ny, std::uint64_t npml_x, std::uint64_t npml_y, StepPair dlf,
    StepPair dlb, double omega, const MaterialTensor& eps, const MaterialTensor& mu,
    bool dmin_pml_x, bool dmin_pml_y, const PmlParameters& params);

}  // namespace corvane
