#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numbers>
#include <vector>

#include "derivatives/derivatives.hpp"
#include "discretisation_helpers.hpp"

namespace corvane {
namespace {

using testing::entry;
using testing::expect_identical;
using testing::real_rows;
using Rows = std::vector<std::vector<double>>;

DerivativeSet unit_steps(std::uint64_t nx, std::uint64_t ny, bool pmc_x, bool pmc_y) {
    static const std::vector<double> ones(16, 1.0);
    const std::span<const double> x(ones.data(), nx);
    const std::span<const double> y(ones.data(), ny);
    return create_d_matrices_sparse(nx, ny, {x, y}, {x, y}, pmc_x, pmc_y);
}

TEST(DerivativeMatrices, ThreeCellsElectricLowWall) {
    const DerivativeSet d = unit_steps(3, 1, false, false);
    EXPECT_EQ(real_rows(d.dxf), (Rows{{0, 1, 0}, {0, -1, 1}, {0, 0, -1}}));
    EXPECT_EQ(real_rows(d.dxb), (Rows{{0, 0, 0}, {-1, 1, 0}, {0, -1, 1}}));
    // The electric wall removes entries rather than storing zeros.
    EXPECT_EQ(d.dxf.nnz(), 4u);
    EXPECT_EQ(d.dxb.nnz(), 4u);
    for (const SparseMatrix* m : {&d.dyf, &d.dyb}) {
        EXPECT_EQ(m->rows, 3u);
        EXPECT_EQ(m->cols, 3u);
        EXPECT_EQ(m->nnz(), 0u);
    }
}

TEST(DerivativeMatrices, ThreeCellsMagneticLowWall) {
    const DerivativeSet d = unit_steps(3, 1, true, false);
    EXPECT_EQ(real_rows(d.dxf), (Rows{{-1, 1, 0}, {0, -1, 1}, {0, 0, -1}}));
    EXPECT_EQ(real_rows(d.dxb), (Rows{{2, 0, 0}, {-1, 1, 0}, {0, -1, 1}}));
}

TEST(DerivativeMatrices, TwoByTwoNeighboursAreYPlusOneAndXPlusNy) {
    const DerivativeSet d = unit_steps(2, 2, false, false);
    EXPECT_EQ(real_rows(d.dyf), (Rows{{0, 1, 0, 0}, {0, -1, 0, 0}, {0, 0, 0, 1}, {0, 0, 0, -1}}));
    EXPECT_EQ(real_rows(d.dyb), (Rows{{0, 0, 0, 0}, {-1, 1, 0, 0}, {0, 0, 0, 0}, {0, 0, -1, 1}}));
    EXPECT_EQ(real_rows(d.dxf), (Rows{{0, 0, 1, 0}, {0, 0, 0, 1}, {0, 0, -1, 0}, {0, 0, 0, -1}}));
    EXPECT_EQ(real_rows(d.dxb), (Rows{{0, 0, 0, 0}, {0, 0, 0, 0}, {-1, 0, 1, 0}, {0, -1, 0, 1}}));
    const DerivativeSet pmc = unit_steps(2, 2, false, true);
    EXPECT_EQ(real_rows(pmc.dyf),
              (Rows{{-1, 1, 0, 0}, {0, -1, 0, 0}, {0, 0, -1, 1}, {0, 0, 0, -1}}));
    EXPECT_EQ(real_rows(pmc.dyb), (Rows{{2, 0, 0, 0}, {-1, 1, 0, 0}, {0, 0, 2, 0}, {0, 0, -1, 1}}));
    expect_identical(pmc.dxf, d.dxf);  // pmc_y leaves x alone
}

TEST(DerivativeMatrices, EachRowUsesTheStepOfItsOwnIndex) {
    const std::vector<double> fx{0.5, 2.0, 4.0}, bx{8.0, 0.25, 16.0};
    const std::vector<double> fy{3.0, 5.0}, by{7.0, 0.125};
    const std::size_t ny = 2;
    for (const bool pmc : {false, true}) {
        const DerivativeSet d = create_d_matrices_sparse(3, ny, {fx, fy}, {bx, by}, pmc, pmc);
        for (std::size_t ix = 0; ix < 3; ++ix) {
            for (std::size_t iy = 0; iy < ny; ++iy) {
                const std::size_t p = ix * ny + iy;
                const bool x_diag = ix > 0 || pmc;
                EXPECT_EQ(entry(d.dxf, p, p).re, x_diag ? -1.0 / fx[ix] : 0.0);
                if (ix + 1 < 3) {
                    EXPECT_EQ(entry(d.dxf, p, p + ny).re, 1.0 / fx[ix]);
                }
                if (ix > 0) {
                    EXPECT_EQ(entry(d.dxb, p, p).re, 1.0 / bx[ix]);
                    EXPECT_EQ(entry(d.dxb, p, p - ny).re, -1.0 / bx[ix]);
                } else {
                    EXPECT_EQ(entry(d.dxb, p, p).re, pmc ? 2.0 / bx[0] : 0.0);
                }
                const bool y_diag = iy > 0 || pmc;
                EXPECT_EQ(entry(d.dyf, p, p).re, y_diag ? -1.0 / fy[iy] : 0.0);
                if (iy + 1 < ny) {
                    EXPECT_EQ(entry(d.dyf, p, p + 1).re, 1.0 / fy[iy]);
                }
                if (iy > 0) {
                    EXPECT_EQ(entry(d.dyb, p, p).re, 1.0 / by[iy]);
                    EXPECT_EQ(entry(d.dyb, p, p - 1).re, -1.0 / by[iy]);
                } else {
                    EXPECT_EQ(entry(d.dyb, p, p).re, pmc ? 2.0 / by[0] : 0.0);
                }
            }
        }
    }
}

TEST(DerivativeMatrices, StepsBeyondTheGridAreIgnored) {
    const std::vector<double> fx{0.5, 2.0, 4.0}, bx{8.0, 0.25, 16.0}, fy{3.0, 5.0}, by{7.0, 1.5};
    auto longer = [](std::vector<double> v) {
        v.insert(v.end(), {0.0, -1.0, NAN});
        return v;
    };
    const std::vector<double> lfx = longer(fx), lbx = longer(bx);
    const std::vector<double> lfy = longer(fy), lby = longer(by);
    const DerivativeSet a = create_d_matrices_sparse(3, 2, {fx, fy}, {bx, by}, true, false);
    const DerivativeSet b = create_d_matrices_sparse(3, 2, {lfx, lfy}, {lbx, lby}, true, false);
    for (std::size_t k = 0; k < 4; ++k) expect_identical(a[k], b[k]);
}

TEST(DerivativeMatrices, DegenerateAxesHaveNoEntriesAndReadNoSteps) {
    const std::vector<double> y{1.0, 2.0, 3.0};
    const DerivativeSet flat_x = create_d_matrices_sparse(1, 3, {{}, y}, {{}, y}, true, false);
    EXPECT_EQ(flat_x.dxf.rows, 3u);
    EXPECT_EQ(flat_x.dxf.nnz(), 0u);
    EXPECT_EQ(flat_x.dxb.nnz(), 0u);
    EXPECT_EQ(flat_x.dyf.nnz(), 4u);

    const DerivativeSet flat_y = create_d_matrices_sparse(3, 1, {y, {}}, {y, {}}, false, true);
    EXPECT_EQ(flat_y.dyf.nnz(), 0u);
    EXPECT_EQ(flat_y.dyb.nnz(), 0u);

    const DerivativeSet empty = create_d_matrices_sparse(0, 4, {{}, {}}, {{}, {}}, true, true);
    for (std::size_t k = 0; k < 4; ++k) {
        EXPECT_EQ(empty[k].rows, 0u);
        EXPECT_EQ(empty[k].cols, 0u);
    }
}

TEST(DerivativeMatrices, ShortStepArrayIsAnInternalError) {
    const std::vector<double> three(3, 1.0), two(2, 1.0);
    EXPECT_THROW(create_d_matrices_sparse(3, 2, {two, two}, {three, two}, false, false),
                 InternalError);
    EXPECT_THROW(create_d_matrices_sparse(3, 2, {three, two}, {two, two}, false, false),
                 InternalError);
    EXPECT_THROW(create_d_matrices_sparse(3, 3, {three, two}, {three, three}, false, false),
                 InternalError);
    EXPECT_THROW(create_d_matrices_sparse(3, 3, {three, three}, {three, two}, false, false),
                 InternalError);
    EXPECT_NO_THROW(create_d_matrices_sparse(3, 3, {three, three}, {three, three}, false, false));
}

// A smoothly graded axis: node positions X(i / n) for a monotone map X on [0, 1].
struct GradedAxis {
    std::vector<double> node;  // E samples (n of them) and the high edge
    std::vector<double> mid;   // where the forward differences land: between nodes
    std::vector<double> hf, hb;

    GradedAxis(std::size_t n, double length, double grading) {
        for (std::size_t i = 0; i <= n; ++i) {
            const double xi = double(i) / double(n);
            const double bump = std::sin(std::numbers::pi * xi) / std::numbers::pi;
            node.push_back(length * (xi + grading * bump));
        }
        for (std::size_t i = 0; i < n; ++i) {
            mid.push_back(0.5 * (node[i] + node[i + 1]));
            hf.push_back(node[i + 1] - node[i]);
        }
        // The backward differences act on samples at the mid points and land between them.
        hb.push_back(mid[0] - node[0]);
        for (std::size_t i = 1; i < n; ++i) hb.push_back(mid[i] - mid[i - 1]);
    }
};

struct DifferenceErrors {
    double forward_x, backward_x, forward_y, backward_y;
};

// Largest error of each difference of f(x, y) = sin(2x) cos(3y) against the exact
// partial derivative at the staggered positions, over rows untouched by the edges.
DifferenceErrors difference_errors(std::size_t n) {
    const GradedAxis ax(n, 2.0, 0.4), ay(n, 1.5, -0.3);
    const DerivativeSet d =
        create_d_matrices_sparse(n, n, {ax.hf, ay.hf}, {ax.hb, ay.hb}, true, true);
    const auto f = [](double x, double y) { return std::sin(2 * x) * std::cos(3 * y); };
    const auto fx = [](double x, double y) { return 2 * std::cos(2 * x) * std::cos(3 * y); };
    const auto fy = [](double x, double y) { return -3 * std::sin(2 * x) * std::sin(3 * y); };
    auto sample = [&](const std::vector<double>& xs, const std::vector<double>& ys) {
        std::vector<Complex> v;
        for (std::size_t ix = 0; ix < n; ++ix) {
            for (std::size_t iy = 0; iy < n; ++iy) v.push_back({f(xs[ix], ys[iy]), 0.0});
        }
        return v;
    };
    auto max_error = [&](const std::vector<Complex>& got, auto exact, const std::vector<double>& xs,
                         const std::vector<double>& ys, bool along_x, bool forward) {
        double err = 0.0;
        for (std::size_t ix = 0; ix < n; ++ix) {
            for (std::size_t iy = 0; iy < n; ++iy) {
                const std::size_t i = along_x ? ix : iy;
                if (forward ? i + 1 == n : i == 0) continue;  // rows that meet the edge
                err = std::max(err, std::fabs(got[ix * n + iy].re - exact(xs[ix], ys[iy])));
            }
        }
        return err;
    };
    // Forward rows sit half way between the nodes; backward rows half way between mid points.
    auto between = [](const std::vector<double>& m) {
        std::vector<double> out{m[0]};
        for (std::size_t i = 1; i < m.size(); ++i) out.push_back(0.5 * (m[i - 1] + m[i]));
        return out;
    };
    const std::vector<double> x_node(ax.node.begin(), ax.node.end() - 1);
    const std::vector<double> y_node(ay.node.begin(), ay.node.end() - 1);
    DifferenceErrors e{};
    e.forward_x = max_error(d.dxf.matvec(sample(x_node, y_node)), fx, ax.mid, y_node, true, true);
    e.forward_y = max_error(d.dyf.matvec(sample(x_node, y_node)), fy, x_node, ay.mid, false, true);
    e.backward_x = max_error(d.dxb.matvec(sample(ax.mid, y_node)), fx, between(ax.mid), y_node,
                             true, false);
    e.backward_y = max_error(d.dyb.matvec(sample(x_node, ay.mid)), fy, x_node, between(ay.mid),
                             false, false);
    return e;
}

TEST(DerivativeMatrices, DifferencesAreSecondOrderOnAGradedGrid) {
    const DifferenceErrors coarse = difference_errors(48);
    const DifferenceErrors fine = difference_errors(96);
    const double pairs[4][2] = {{coarse.forward_x, fine.forward_x},
                                {coarse.backward_x, fine.backward_x},
                                {coarse.forward_y, fine.forward_y},
                                {coarse.backward_y, fine.backward_y}};
    for (const auto& [c, f] : pairs) {
        EXPECT_LT(c, 5e-3);
        EXPECT_GT(c / f, 3.7) << c << " -> " << f;
        EXPECT_LT(c / f, 4.3) << c << " -> " << f;
    }
}

}  // namespace
}  // namespace corvane
