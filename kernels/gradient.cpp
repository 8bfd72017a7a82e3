// Horizontal derivatives of a batch of gridded fields on a rectilinear grid:
// centred differences, one-sided at the edges and next to missing values.
#include "kestrin.hpp"
#include "parallel.hpp"

#include <cstring>
#include <limits>
#include <stdexcept>

namespace kestrin {
namespace {

constexpr int64_t block = 8; // grid rows per claim
constexpr double nan = std::numeric_limits<double>::quiet_NaN();

// The difference rule is written without branches: candidates are formed for
// every point and chosen by bit masks, so the row loops have no control flow
// and the compiler vectorises them (a division may not be speculated, which
// otherwise keeps each quotient behind its own branch).
inline uint64_t bits(double a)
{
    uint64_t b;
    std::memcpy(&b, &a, sizeof b);
    return b;
}

inline double real(uint64_t b)
{
    double a;
    std::memcpy(&a, &b, sizeof a);
    return a;
}

// All ones when a is finite, else 0: a - a is zero for every finite a (-0
// when rounding downward, hence the sign bit is shifted out) and NaN for NaN
// and both infinities.
inline uint64_t finite(double a)
{
    const uint64_t z = bits(a - a) << 1;
    return ((z | (0 - z)) >> 63) - 1;
}

inline double pick(uint64_t mask, double a, double b)
{
    return real((bits(a) & mask) | (bits(b) & ~mask));
}

// Derivative at a point of value p with neighbours a (previous) and n (next)
// at coordinates sa, s, sn along the axis; ua and un are all-ones masks when
// the neighbour exists and is finite. Centred (n - a) / (sn - sa) when both
// are usable, else forward (n - p) / (sn - s), else backward (p - a) / (s - sa),
// else NaN; NaN where p is not finite. One division of the chosen numerator
// and denominator gives the same bits as evaluating only the chosen formula.
inline double diff(double p, double a, double n, uint64_t ua, uint64_t un, double sa, double s,
                   double sn)
{
    const uint64_t ok = finite(p);
    const double num = pick(ok & ua & un, n - a, pick(ok & un, n - p, pick(ok & ua, p - a, nan)));
    const double den = pick(ua & un, sn - sa, pick(un, sn - s, pick(ua, s - sa, 1.0)));
    return num / den;
}

// The row loops are cloned for wider vector units and the best clone is
// chosen at load time; every clone does the same IEEE operations in the same
// order (contraction stays off), so the bits do not depend on the CPU.
#if defined(__x86_64__) && defined(__has_attribute)
#if __has_attribute(target_clones)
#define ROW_CLONES __attribute__((target_clones("avx512f", "avx2", "default")))
#endif
#endif
#ifndef ROW_CLONES
#define ROW_CLONES
#endif

// One grid row of one field: row points at its nx values, prev / next at the
// rows above and below (null at the edges of the field), x at the nx column
// coordinates and y0, y1, y2 at the coordinates of the previous, this and the
// next row. Writes nx values of df/dx to dx and of df/dy to dy.
ROW_CLONES void gradient_row(const double* row, const double* prev, const double* next,
                             const double* x, int64_t nx, double y0, double y1, double y2,
                             double* dx, double* dy)
{
    if (nx == 1) {
        dx[0] = nan;
    } else if (nx > 1) {
        dx[0] = diff(row[0], row[0], row[1], 0, finite(row[1]), x[0], x[0], x[1]);
        for (int64_t i = 1; i < nx - 1; ++i)
            dx[i] = diff(row[i], row[i - 1], row[i + 1], finite(row[i - 1]), finite(row[i + 1]),
                         x[i - 1], x[i], x[i + 1]);
        const int64_t e = nx - 1;
        dx[e] = diff(row[e], row[e - 1], row[e], finite(row[e - 1]), 0, x[e - 1], x[e], x[e]);
    }

    if (prev && next) {
        for (int64_t i = 0; i < nx; ++i)
            dy[i] = diff(row[i], prev[i], next[i], finite(prev[i]), finite(next[i]), y0, y1, y2);
    } else if (next) {
        for (int64_t i = 0; i < nx; ++i)
            dy[i] = diff(row[i], row[i], next[i], 0, finite(next[i]), y1, y1, y2);
    } else if (prev) {
        for (int64_t i = 0; i < nx; ++i)
            dy[i] = diff(row[i], prev[i], row[i], finite(prev[i]), 0, y0, y1, y1);
    } else {
        for (int64_t i = 0; i < nx; ++i)
            dy[i] = nan;
    }
}

} // namespace

py::array_t<double> gradient_py(farray f, farray x, farray y, int32_t n_threads)
{
    if (f.ndim() != 3)
        throw std::invalid_argument("f must be 3-D (batch, y, x)");
    const int64_t nb = f.shape(0);
    const int64_t ny = f.shape(1);
    const int64_t nx = f.shape(2);
    if (x.size() != nx || y.size() != ny)
        throw std::invalid_argument("coordinate size");

    py::array_t<double> out({int64_t{2}, nb, ny, nx});
    const double* F = f.data();
    const double* X = x.data();
    const double* Y = y.data();
    double* o = out.mutable_data();
    const int64_t comp = f.size(); // nb * ny * nx

    py::gil_scoped_release unlocked; // workers only touch the raw buffers above
    auto body = [&](int64_t begin, int64_t end) {
        for (int64_t r = begin; r < end; ++r) {
            const int64_t j = r % ny;
            const int64_t at = r * nx; // b * ny * nx + j * nx
            const double* row = F + at;
            const double* prev = j > 0 ? row - nx : nullptr;
            const double* next = j + 1 < ny ? row + nx : nullptr;
            gradient_row(row, prev, next, X, nx, prev ? Y[j - 1] : 0.0, Y[j], next ? Y[j + 1] : 0.0,
                         o + at, o + comp + at);
        }
    };
    // An empty row has nothing to compute: no item, no thread.
    parallel_blocks(nx > 0 ? nb * ny : 0, block, n_threads, body);
    return out;
}

} // namespace kestrin
