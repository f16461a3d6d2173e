#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "derivatives/derivatives.hpp"

namespace corvane {
namespace {

// Component k holds the values (k, p) so every copy can be traced to its source.
std::vector<std::vector<Complex>> tagged_components(std::size_t count, std::size_t cells) {
    std::vector<std::vector<Complex>> components(count);
    for (std::size_t k = 0; k < count; ++k) {
        for (std::size_t p = 0; p < cells; ++p) {
            components[k].push_back({double(k), double(p)});
        }
    }
    return components;
}

TEST(TensorFromFlat, PlacesComponentKAtRowKDiv3ColumnKMod3) {
    const auto components = tagged_components(9, 4);
    const auto tensor = tensor_from_flat(components, 4);
    ASSERT_TRUE(tensor) << tensor.error().text;
    for (std::size_t r = 0; r < 3; ++r) {
        for (std::size_t c = 0; c < 3; ++c) {
            const auto& entry = (*tensor)[r][c];
            ASSERT_EQ(entry.size(), 4u);
            for (std::size_t p = 0; p < 4; ++p) {
                EXPECT_EQ(entry[p].re, double(3 * r + c));
                EXPECT_EQ(entry[p].im, double(p));
            }
        }
    }
    // xy is position 1, yx position 3.
    EXPECT_EQ((*tensor)[0][1][0].re, 1.0);
    EXPECT_EQ((*tensor)[1][0][0].re, 3.0);
    EXPECT_EQ(components[1][0].re, 1.0);  // input untouched
}

TEST(TensorFromFlat, RejectsWrongComponentCount) {
    for (std::size_t count : {0u, 8u, 10u}) {
        const auto tensor = tensor_from_flat(tagged_components(count, 2), 2);
        ASSERT_FALSE(tensor);
        EXPECT_EQ(tensor.error().text, "tensor must contain 9 flattened components");
    }
    // The count is checked before any length.
    const auto tensor = tensor_from_flat(tagged_components(8, 5), 2);
    ASSERT_FALSE(tensor);
    EXPECT_EQ(tensor.error().text, "tensor must contain 9 flattened components");
}

TEST(TensorFromFlat, RejectsComponentOfWrongLength) {
    auto components = tagged_components(9, 3);
    components[8].pop_back();
    const auto tensor = tensor_from_flat(components, 3);
    ASSERT_FALSE(tensor);
    EXPECT_EQ(tensor.error().text, "tensor component length does not match grid shape");
}

TEST(TensorFromFlat, AcceptsEmptyGridAndNonFiniteValues) {
    const auto empty = tensor_from_flat(tagged_components(9, 0), 0);
    ASSERT_TRUE(empty);
    EXPECT_TRUE((*empty)[2][2].empty());

    auto components = tagged_components(9, 1);
    components[0][0] = {std::nan(""), INFINITY};
    const auto tensor = tensor_from_flat(components, 1);
    ASSERT_TRUE(tensor);
    EXPECT_TRUE(std::isnan((*tensor)[0][0][0].re));
    EXPECT_TRUE(std::isinf((*tensor)[0][0][0].im));
}

}  // namespace
}  // namespace corvane
