// Texture of radial velocity for quality control: the sample standard
// deviation of the finite velocities in a window of gates centred on each
// gate, along the ray. Each window's sums are taken over its own gates in
// order (no running sum along the ray), so every gate's texture is the same
// bits whichever block of rays computes it.
#include "parallel.hpp"
#include "polar.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#include <new>
#include <stdexcept>

namespace polar {
namespace {

constexpr int64_t ray_block = 16;
constexpr double nan = std::numeric_limits<double>::quiet_NaN();

// Texture of gate g from the window sums s1, s2 and count n.
inline double spread(double s1, double s2, double n)
{
    if (n < 3.0)
        return nan;
    const double var = (s2 - s1 * s1 / n) / (n - 1.0);
    return std::sqrt(var > 0.0 ? var : 0.0);
}

// Rays [begin, end) of a (rays, gates) array; window of 2 half + 1 gates.
// A window needs 3 finite values; gates beyond the ray's ends count as
// missing. With `buf` (5 gates + 4 half doubles) each ray is first laid
// out with missing values as 0 and weights 0/1, so the window sums run
// without branches; they add the same numbers in the same order as the
// direct loop (zeros leave a sum as it is), which runs when there is no
// buffer.
void texture(const double* v, int64_t gates, int64_t half, int64_t begin, int64_t end, double* out,
             double* buf)
{
    const int64_t w = 2 * half + 1;
    for (int64_t i = begin; i < end; ++i) {
        const double* row = v + i * gates;
        double* o = out + i * gates;
        if (buf) {
            double* x = buf;
            double* c = buf + gates + 2 * half;
            for (int64_t k = 0; k < gates + 2 * half; ++k) {
                const int64_t g = k - half;
                const bool ok = g >= 0 && g < gates && std::isfinite(row[g]);
                x[k] = ok ? row[g] : 0.0;
                c[k] = ok ? 1.0 : 0.0;
            }
            // window offset by offset over all gates at once (vectorisable), each gate's
            // sums still in window order
            double* s1 = c + gates + 2 * half;
            double* s2 = s1 + gates;
            double* n = s2 + gates;
            std::fill(s1, s1 + 3 * gates, 0.0);
            for (int64_t k = 0; k < w; ++k)
                for (int64_t g = 0; g < gates; ++g) {
                    s1[g] += x[g + k];
                    s2[g] += x[g + k] * x[g + k];
                    n[g] += c[g + k];
                }
            for (int64_t g = 0; g < gates; ++g)
                o[g] = spread(s1[g], s2[g], n[g]);
            continue;
        }
        for (int64_t g = 0; g < gates; ++g) {
            double s1 = 0.0, s2 = 0.0, n = 0.0;
            for (int64_t k = g - half; k <= g + half; ++k) {
                if (k < 0 || k >= gates || !std::isfinite(row[k]))
                    continue;
                s1 += row[k];
                s2 += row[k] * row[k];
                n += 1.0;
            }
            o[g] = spread(s1, s2, n);
        }
    }
}

} // namespace

py::array_t<double> velocity_texture_py(farray velocity, int64_t gates, int32_t n_threads)
{
    if (velocity.ndim() != 2)
        throw std::invalid_argument("velocity must be a (rays, gates) array");
    if (gates < 3 || gates % 2 == 0)
        throw std::invalid_argument("gates must be an odd integer of at least 3");
    const int64_t rays = velocity.shape(0), width = velocity.shape(1);
    py::array_t<double> out({rays, width});
    const double* v = velocity.data();
    double* o = out.mutable_data();

    py::gil_scoped_release unlocked;
    // A window reaching past both ends of every ray holds the whole ray: one of
    // 2 width - 1 gates has the same values in the same order (the zeros of the
    // gates beyond the ends leave the sums as they are), and keeps the buffer
    // and the loops to the size of the ray whatever `gates` is.
    const int64_t half = std::min(gates / 2, std::max<int64_t>(width - 1, 1));
    auto body = [&](int64_t begin, int64_t end) {
        std::unique_ptr<double[]> buf(new (std::nothrow) double[5 * width + 4 * half]);
        texture(v, width, half, begin, end, o, buf.get());
    };
    kestrin::parallel_blocks(rays, ray_block, n_threads, body);
    return out;
}

} // namespace polar
