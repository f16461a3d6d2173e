// matmul of the forward and backward x-difference matrices of a 1000 x 1000 grid and a
// 4 x 4 block_grid of the difference matrices: seconds and peak memory.
#include <cstdio>
#include <vector>

#include "bench_common.hpp"
#include "sparse_matrix/sparse_matrix.hpp"

using namespace corvane;

namespace {

// Difference along x (stride ny) with unit steps, forward or backward.
SparseMatrix difference(std::size_t nx, std::size_t ny, bool forward) {
    std::vector<Triplet> t;
    t.reserve(2 * nx * ny);
    for (std::size_t ix = 0; ix < nx; ++ix) {
        for (std::size_t iy = 0; iy < ny; ++iy) {
            const std::size_t p = ix * ny + iy;
            if (forward) {
                t.push_back({p, p, {-1.0, 0.0}});
                if (ix + 1 < nx) t.push_back({p, p + ny, {1.0, 0.0}});
            } else {
                t.push_back({p, p, {1.0, 0.0}});
                if (ix > 0) t.push_back({p, p - ny, {-1.0, 0.0}});
            }
        }
    }
    return SparseMatrix::from_triplets(nx * ny, nx * ny, std::move(t));
}

}  // namespace

int main() {
    const std::size_t nx = 1000, ny = 1000;
    auto start = std::chrono::steady_clock::now();
    const SparseMatrix f = difference(nx, ny, true);
    const SparseMatrix b = difference(nx, ny, false);
    std::printf("from_triplets x2  (%zu x %zu, %zu + %zu entries): %.3f s\n", f.rows, f.cols,
                f.nnz(), b.nnz(), bench::seconds_since(start));

    bench::reset_peak();
    double base = bench::rss_mib();
    start = std::chrono::steady_clock::now();
    const SparseMatrix p = f.matmul(b);
    std::printf("matmul            (%zu entries): %.3f s, peak +%.0f MiB\n", p.nnz(),
                bench::seconds_since(start), bench::peak_rss_mib() - base);

    bench::reset_peak();
    base = bench::rss_mib();
    start = std::chrono::steady_clock::now();
    // The 16 blocks alternate the forward and the backward difference matrix.
    std::vector<BlockRow> grid(4);
    for (std::size_t i = 0; i < 4; ++i) {
        for (std::size_t j = 0; j < 4; ++j) grid[i].push_back((i + j) % 2 == 0 ? std::cref(f) : std::cref(b));
    }
    const SparseMatrix g = SparseMatrix::block_grid(grid);
    std::printf("block_grid 4 x 4  (%zu x %zu, %zu entries): %.3f s, peak +%.0f MiB\n", g.rows,
                g.cols, g.nnz(), bench::seconds_since(start), bench::peak_rss_mib() - base);

    start = std::chrono::steady_clock::now();
    std::vector<Complex> x(g.cols, Complex{1.0, 0.5});
    const std::vector<Complex> y = g.matvec(x);
    std::printf("matvec of the grid: %.3f s (y[0] = %g)\n", bench::seconds_since(start), y[0].re);
    std::printf("peak RSS of the process: %.0f MiB\n", bench::peak_rss_mib());
    return 0;
}
