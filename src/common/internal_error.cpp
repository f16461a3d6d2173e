#include "common/internal_error.hpp"

namespace corvane {

void throw_not_equal(const std::string& left, const std::string& right) {
    throw InternalError("assertion `left == right` failed\n  left: " + left + "\n right: " + right);
}

void throw_index_error(std::size_t index, std::size_t length) {
    throw InternalError("index out of bounds: the len is " + std::to_string(length) +
                        " but the index is " + std::to_string(index));
}

}  // namespace corvane
