// Bounds-checked reads of the caller's step arrays: only the first nx (ny) values belong
// to the grid, and an array shorter than its axis is a fault upstream, never a silent read.
#pragma once

#include <cstddef>
#include <span>

#include "common/internal_error.hpp"

namespace corvane {

inline double step_at(std::span<const double> steps, std::size_t i) {
    if (i >= steps.size()) throw_index_error(i, steps.size());
    return steps[i];
}

}  // namespace corvane
