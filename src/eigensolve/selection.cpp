// Placeholder until the eigen solution lands.
#include "eigensolve/eigensolve.hpp"

namespace corvane {

Result<std::vector<Eigenpair>> selected_sparse_shift_invert_eigenpairs(
    const SparseMatrix&, std::size_t, std::optional<std::span<const Complex>>, std::size_t, Complex,
    double) {
    throw InternalError("selected_sparse_shift_invert_eigenpairs not built yet");
}
double sparse_residual_norm(const SparseMatrix&, std::span<const Complex>, Complex) {
    throw InternalError("sparse_residual_norm not built yet");
}

}  // namespace corvane
