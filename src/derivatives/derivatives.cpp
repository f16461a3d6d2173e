// Placeholder until the discretisation lands.
#include "derivatives/derivatives.hpp"

namespace corvane {

DerivativeSet create_d_matrices_sparse(std::uint64_t, std::uint64_t, StepPair, StepPair, bool, bool) {
    throw InternalError("create_d_matrices_sparse not built yet");
}
std::array<SparseMatrix, 4> create_s_matrices_sparse_with_profile(
    std::uint64_t, std::uint64_t, std::uint64_t, std::uint64_t, StepPair, StepPair, double,
    const MaterialTensor&, const MaterialTensor&, bool, bool, const PmlParameters&) {
    throw InternalError("create_s_matrices_sparse_with_profile not built yet");
}

}  // namespace corvane
