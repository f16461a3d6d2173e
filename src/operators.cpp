// Placeholder until operator assembly lands.
#include "operators.hpp"

namespace corvane {

SparseDiagonalOperators assemble_sparse_diagonal_operators(const MaterialTensor&, const MaterialTensor&,
                                                           const DerivativeSet&) {
    throw InternalError("assemble_sparse_diagonal_operators not built yet");
}
SparseMatrix assemble_sparse_tensorial_operator(const MaterialTensor&, const MaterialTensor&,
                                                const DerivativeSet&) {
    throw InternalError("assemble_sparse_tensorial_operator not built yet");
}

}  // namespace corvane
