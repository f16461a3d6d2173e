#include "python_api/python_api.hpp"

#include <cstdint>
#include <limits>
#include <utility>

namespace corvane {

Status place_flat_tensors(FlatTensors&& flat, SolveArguments& args) {
    // A product beyond 2^64 - 1 saturates there, a length no component can have, so such a
    // grid fails the tensor check instead of wrapping to a small count a tensor could match.
    std::uint64_t cell_count = 0;
    if (__builtin_mul_overflow(args.nx, args.ny, &cell_count)) {
        cell_count = std::numeric_limits<std::uint64_t>::max();
    }
    Result<MaterialTensor> eps = tensor_from_flat(flat.eps, cell_count);
    if (!eps) return std::move(eps).error();
    std::vector<std::vector<Complex>>().swap(flat.eps);
    args.eps = std::move(*eps);
    Result<MaterialTensor> mu = tensor_from_flat(flat.mu, cell_count);
    if (!mu) return std::move(mu).error();
    std::vector<std::vector<Complex>>().swap(flat.mu);
    args.mu = std::move(*mu);
    return Unit{};
}

}  // namespace corvane
