// The sparse eigen-operators of the two formulations.
#pragma once

#include "derivatives/derivatives.hpp"
#include "sparse_matrix/sparse_matrix.hpp"

namespace corvane {

// Operators of the diagonal-material formulation, each 2n x 2n on (x block, y block).
struct SparseDiagonalOperators {
    SparseMatrix mu_cross;
    SparseMatrix eps_zz_term;
    SparseMatrix eps_cross;
    SparseMatrix mu_zz_term;
    SparseMatrix e_to_h;
    SparseMatrix eigen_operator;  // eigenvalue -neff^2 on (Ex, Ey)
};

SparseDiagonalOperators assemble_sparse_diagonal_operators(const MaterialTensor& eps,
                                                           const MaterialTensor& mu,
                                                           const DerivativeSet& derivatives);

// 4n x 4n operator on (Ex, Ey, Hx, Hy) whose eigenvalue is neff itself.
SparseMatrix assemble_sparse_tensorial_operator(const MaterialTensor& eps,
                                                const MaterialTensor& mu,
                                                const DerivativeSet& derivatives);

}  // namespace corvane
