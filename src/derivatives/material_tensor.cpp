#include "derivatives/derivatives.hpp"

namespace corvane {

Result<MaterialTensor> tensor_from_flat(std::span<const std::vector<Complex>> components,
                                        std::uint64_t cell_count) {
    if (components.size() != 9) return fail("tensor must contain 9 flattened components");
    MaterialTensor tensor;
    for (std::size_t k = 0; k < 9; ++k) {
        if (components[k].size() != cell_count) {
            return fail("tensor component length does not match grid shape");
        }
        tensor[k / 3][k % 3] = components[k];
    }
    return tensor;
}

}  // namespace corvane
