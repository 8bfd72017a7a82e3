// Wind from Doppler radial velocities by the velocity-azimuth display: per
// ring, least-squares fits of vr against the first harmonic of the azimuth
// (fit 1) and against the first two harmonics (fit 2), each gated by the
// number of usable samples and by how well they cover the circle.
#include "kestrin.hpp"
#include "parallel.hpp"

#include <cmath>
#include <cstring>
#include <limits>
#include <math.h> // sincos, a GNU extension
#include <memory>
#include <new>
#include <stdexcept>
#include <utility>

namespace kestrin {
namespace {

constexpr int64_t block = 64;
// Rings of at most this many samples keep their sines and cosines in
// per-block buffers (6 doubles per sample, and 4 more for an azimuth row that
// consecutive rings share: 5 MiB at most per worker); longer rings recompute
// them on every pass.
constexpr int64_t packed_cols = int64_t{1} << 16;
constexpr double nan = std::numeric_limits<double>::quiet_NaN();

inline bool usable(double v, double a)
{
    return std::isfinite(v) && std::isfinite(a);
}

// The usable samples of one ring read straight from the inputs: every pass
// evaluates sincos again (glibc, one call for both).
struct ring_direct {
    const double* vr;
    const double* az;
    int64_t cols;

    template <class F> void first(F&& f) { harmonic1(f); }

    template <class F> void harmonic1(F&& f) const
    {
        for (int64_t j = 0; j < cols; ++j) {
            if (!usable(vr[j], az[j]))
                continue;
            double s, c;
            ::sincos(az[j], &s, &c);
            f(vr[j], s, c);
        }
    }

    template <class F> void harmonic2(F&& f) const
    {
        for (int64_t j = 0; j < cols; ++j) {
            if (!usable(vr[j], az[j]))
                continue;
            double s2, c2;
            ::sincos(az[j] + az[j], &s2, &c2);
            f(s2, c2);
        }
    }

    template <class F> void both(F&& f) const
    {
        for (int64_t j = 0; j < cols; ++j) {
            if (!usable(vr[j], az[j]))
                continue;
            double s, c, s2, c2;
            ::sincos(az[j], &s, &c);
            ::sincos(az[j] + az[j], &s2, &c2);
            f(vr[j], s, c, s2, c2);
        }
    }
};

// The same samples packed into a buffer of 6 cols doubles: vr, az, sin az,
// cos az, sin 2az and cos 2az of the usable samples in column order. The
// first pass fills them, and later passes read the stored values, which are
// the bits the direct passes would recompute, in the same order: the sums are
// identical.
struct packed_samples {
    const double* vr;
    const double* az;
    int64_t cols;
    double* buf;
    int64_t m = 0;

    double* v() const { return buf; }
    double* a() const { return buf + cols; }
    double* s() const { return buf + 2 * cols; }
    double* c() const { return buf + 3 * cols; }
    double* s2() const { return buf + 4 * cols; }
    double* c2() const { return buf + 5 * cols; }

    template <class F> void harmonic1(F&& f) const
    {
        const double *V = v(), *S = s(), *C = c();
        for (int64_t i = 0; i < m; ++i)
            f(V[i], S[i], C[i]);
    }

    template <class F> void both(F&& f) const
    {
        const double *V = v(), *S = s(), *C = c(), *S2 = s2(), *C2 = c2();
        for (int64_t i = 0; i < m; ++i)
            f(V[i], S[i], C[i], S2[i], C2[i]);
    }
};

// A ring with its own azimuths: the first pass evaluates sincos of az, the
// first second-harmonic pass sincos of 2az, for its usable samples only.
struct ring_packed : packed_samples {
    template <class F> void first(F&& f)
    {
        double *V = v(), *A = a(), *S = s(), *C = c();
        for (int64_t j = 0; j < cols; ++j) {
            if (!usable(vr[j], az[j]))
                continue;
            V[m] = vr[j];
            A[m] = az[j];
            ::sincos(az[j], &S[m], &C[m]);
            f(V[m], S[m], C[m]);
            ++m;
        }
    }

    template <class F> void harmonic2(F&& f) const
    {
        const double* A = a();
        double *S2 = s2(), *C2 = c2();
        for (int64_t i = 0; i < m; ++i) {
            ::sincos(A[i] + A[i], &S2[i], &C2[i]);
            f(S2[i], C2[i]);
        }
    }
};

// Sine and cosine of az and of az + az for every finite azimuth of one row,
// kept for the consecutive rings of a block that share the row bit for bit
// (the rings of one radar sweep, one per range gate). The same arguments give
// the same bits as the per-ring evaluation. Entries of non-finite azimuths
// are set to 0 and never reach a sum: such samples are not usable.
struct row_trig {
    int64_t cols;
    double* buf; // 4 cols doubles
    const double* row = nullptr;

    void fill(const double* az)
    {
        double *S = buf, *C = buf + cols, *S2 = buf + 2 * cols, *C2 = buf + 3 * cols;
        for (int64_t j = 0; j < cols; ++j) {
            if (std::isfinite(az[j])) {
                ::sincos(az[j], &S[j], &C[j]);
                ::sincos(az[j] + az[j], &S2[j], &C2[j]);
            } else {
                S[j] = C[j] = S2[j] = C2[j] = 0.0;
            }
        }
        row = az;
    }
};

// A ring whose azimuth row is held by a row_trig: its usable samples are
// packed from the stored values (every sample is copied and the count moves
// on only for usable ones, which keeps the loop free of branches), so no pass
// evaluates sincos.
struct ring_shared : packed_samples {
    const row_trig* t;

    template <class F> void first(F&& f)
    {
        const double *TS = t->buf, *TC = TS + cols, *TS2 = TC + cols, *TC2 = TS2 + cols;
        double *V = v(), *S = s(), *C = c(), *S2 = s2(), *C2 = c2();
        for (int64_t j = 0; j < cols; ++j) {
            V[m] = vr[j];
            S[m] = TS[j];
            C[m] = TC[j];
            S2[m] = TS2[j];
            C2[m] = TC2[j];
            m += usable(vr[j], az[j]);
        }
        for (int64_t i = 0; i < m; ++i)
            f(V[i], S[i], C[i], S2[i], C2[i]);
    }
};

inline bool same_row(const double* a, const double* b, int64_t cols)
{
    return std::memcmp(a, b, static_cast<size_t>(cols) * sizeof(double)) == 0;
}

// Fit 2's normal equations about the means: x_i x_k and x_k x_i round to the
// same bits, so summing the upper triangle (U, row by row) and mirroring it
// equals summing both halves.
struct fit2_sums {
    double sb, cb, vb, s2b, c2b;
    double U[10] = {};
    double y[4] = {0.0, 0.0, 0.0, 0.0};

    void operator()(double v, double s, double c, double s2, double c2)
    {
        const double x0 = s - sb, x1 = c - cb, x2 = s2 - s2b, x3 = c2 - c2b, dv = v - vb;
        U[0] += x0 * x0;
        U[1] += x0 * x1;
        U[2] += x0 * x2;
        U[3] += x0 * x3;
        U[4] += x1 * x1;
        U[5] += x1 * x2;
        U[6] += x1 * x3;
        U[7] += x2 * x2;
        U[8] += x2 * x3;
        U[9] += x3 * x3;
        y[0] += x0 * dv;
        y[1] += x1 * dv;
        y[2] += x2 * dv;
        y[3] += x3 * dv;
    }
};

// Solves fit 2 from its sums and writes rows 5 to 7 when it is accepted.
void solve_fit2(const fit2_sums& q, double n, double min_spread, double* o, int64_t stride)
{
    double M[4][4], y[4] = {q.y[0], q.y[1], q.y[2], q.y[3]};
    for (int i = 0, u = 0; i < 4; ++i)
        for (int k = i; k < 4; ++k, ++u)
            M[i][k] = M[k][i] = q.U[u];

    // Gaussian elimination with partial pivoting; D4 tracks the determinant.
    double D4 = 1.0;
    for (int j = 0; j < 3; ++j) {
        int p = j;
        for (int i = j + 1; i < 4; ++i)
            if (std::fabs(M[i][j]) > std::fabs(M[p][j])) // strict: lower row wins ties
                p = i;
        if (M[p][j] == 0.0)
            return;
        if (p != j) {
            std::swap(M[j], M[p]);
            std::swap(y[j], y[p]);
            D4 = -D4;
        }
        D4 = D4 * M[j][j];
        for (int i = j + 1; i < 4; ++i) {
            const double f = -M[i][j] / M[j][j];
            for (int k = j; k < 4; ++k)
                M[i][k] = M[j][k] * f + M[i][k];
            y[i] = f * y[j] + y[i];
        }
    }
    if (M[3][3] == 0.0)
        return;
    D4 = D4 * M[3][3];
    if (D4 == 0.0)
        return;
    // D4 / n^4: determinant of the regressors' covariance, 1/16 when even.
    if (!(D4 / (((n * n) * n) * n) >= 0.25 * min_spread))
        return;

    const double b3 = y[3] / M[3][3];
    const double b2 = (y[2] - M[2][3] * b3) / M[2][2];
    const double b1 = ((y[1] - M[1][2] * b2) - M[1][3] * b3) / M[1][1];
    const double b0 = (((y[0] - M[0][1] * b1) - M[0][2] * b2) - M[0][3] * b3) / M[0][0];
    o[5 * stride] = (((q.vb - b0 * q.sb) - b1 * q.cb) - b2 * q.s2b) - b3 * q.c2b;
    o[6 * stride] = b2;
    o[7 * stride] = b3;
}

// One ring. Writes its eight results at o[k * stride], k = 0..7: fit 1
// (a / cos_el, b / cos_el, c, rms residual), the usable-sample count, fit 2
// (c2, coefficient of sin 2az, of cos 2az). Unfitted entries stay NaN. Every
// line keeps its written grouping and every sum runs in column order: the
// build forbids contraction into fused multiply-add.
template <class Ring>
void vad(Ring& ring, double cos_el, int64_t min_gates, double min_spread, double* o, int64_t stride)
{
    for (int k = 0; k < 8; ++k)
        o[k * stride] = nan;

    double n = 0.0, Ss = 0.0, Sc = 0.0, Sv = 0.0;
    ring.first([&](double v, double s, double c) {
        n += 1.0;
        Ss += s;
        Sc += c;
        Sv += v;
    });
    o[4 * stride] = n;
    // int64 -> double is defined for every value; a count never exceeds 2^53.
    if (n < static_cast<double>(min_gates) || n < 3.0)
        return;
    const double sb = Ss / n, cb = Sc / n, vb = Sv / n;

    double Sss = 0.0, Ssc = 0.0, Scc = 0.0, Ssv = 0.0, Scv = 0.0;
    ring.harmonic1([&](double v, double s, double c) {
        const double ds = s - sb, dc = c - cb, dv = v - vb;
        Sss += ds * ds;
        Ssc += ds * dc;
        Scc += dc * dc;
        Ssv += ds * dv;
        Scv += dc * dv;
    });
    // D2 / n^2 = var(sin) var(cos) - cov^2: 0.25 for an evenly covered circle.
    const double D2 = Sss * Scc - Ssc * Ssc;
    if (!(D2 / (n * n) >= min_spread))
        return;
    const double a = (Scc * Ssv - Ssc * Scv) / D2;
    const double b = (Sss * Scv - Ssc * Ssv) / D2;
    const double c0 = (vb - a * sb) - b * cb;

    double E = 0.0;
    ring.harmonic1([&](double v, double s, double c) {
        const double e = ((v - c0) - a * s) - b * c;
        E += e * e;
    });
    o[0] = a / cos_el;
    o[stride] = b / cos_el;
    o[2 * stride] = c0;
    o[3 * stride] = std::sqrt(E / n);

    double S2s = 0.0, S2c = 0.0;
    ring.harmonic2([&](double s2, double c2) {
        S2s += s2;
        S2c += c2;
    });
    const double s2b = S2s / n, c2b = S2c / n;

    fit2_sums q{sb, cb, vb, s2b, c2b};
    ring.both(q);
    solve_fit2(q, n, min_spread, o, stride);
}

// A ring read from a shared row table: the sums of vad() with the same
// operands in the same order, regrouped so that the ring is read three times
// instead of five. The sums of sin 2az and cos 2az join pass 1, and fit 2's
// sums run in pass 2, whose five sums of fit 1 are U[0], U[1], U[4], y[0] and
// y[1] of fit 2. A ring that fit 1 refuses discards fit 2's sums.
void vad_shared(ring_shared& ring, double cos_el, int64_t min_gates, double min_spread, double* o,
                int64_t stride)
{
    for (int k = 0; k < 8; ++k)
        o[k * stride] = nan;

    double n = 0.0, Ss = 0.0, Sc = 0.0, Sv = 0.0, S2s = 0.0, S2c = 0.0;
    ring.first([&](double v, double s, double c, double s2, double c2) {
        n += 1.0;
        Ss += s;
        Sc += c;
        Sv += v;
        S2s += s2;
        S2c += c2;
    });
    o[4 * stride] = n;
    if (n < static_cast<double>(min_gates) || n < 3.0)
        return;
    const double sb = Ss / n, cb = Sc / n, vb = Sv / n;
    const double s2b = S2s / n, c2b = S2c / n;

    fit2_sums q{sb, cb, vb, s2b, c2b};
    ring.both(q);
    const double Sss = q.U[0], Ssc = q.U[1], Scc = q.U[4], Ssv = q.y[0], Scv = q.y[1];
    const double D2 = Sss * Scc - Ssc * Ssc;
    if (!(D2 / (n * n) >= min_spread))
        return;
    const double a = (Scc * Ssv - Ssc * Scv) / D2;
    const double b = (Sss * Scv - Ssc * Ssv) / D2;
    const double c0 = (vb - a * sb) - b * cb;

    double E = 0.0;
    ring.harmonic1([&](double v, double s, double c) {
        const double e = ((v - c0) - a * s) - b * c;
        E += e * e;
    });
    o[0] = a / cos_el;
    o[stride] = b / cos_el;
    o[2 * stride] = c0;
    o[3 * stride] = std::sqrt(E / n);

    solve_fit2(q, n, min_spread, o, stride);
}
} // namespace

py::array_t<double> vad_py(farray vr, farray az, farray cos_el, int64_t min_gates,
                           double min_spread, int32_t n_threads)
{
    if (vr.ndim() != 2 || az.ndim() != 2)
        throw std::invalid_argument("vr, az must be 2-D");
    const int64_t rows = vr.shape(0);
    const int64_t cols = vr.shape(1);
    if (az.shape(0) != rows || az.shape(1) != cols)
        throw std::invalid_argument("shape mismatch");
    if (cos_el.size() != rows)
        throw std::invalid_argument("shape mismatch");

    py::array_t<double> out({int64_t{8}, rows});
    const double* V = vr.data();
    const double* A = az.data();
    const double* E = cos_el.data();
    double* o = out.mutable_data();

    py::gil_scoped_release unlocked; // workers only touch the raw buffers above
    auto body = [&](int64_t begin, int64_t end) {
        // One buffer per block, not per ring; without it the passes
        // recompute sine and cosine, with the same results. The row table is
        // allocated when a block first meets two consecutive rings with the
        // same azimuths; without it those rings take the per-ring path.
        std::unique_ptr<double[]> buf, trig_buf;
        if (cols > 0 && cols <= packed_cols)
            buf.reset(new (std::nothrow) double[6 * cols]);
        bool trig_failed = false;
        row_trig trig{cols, nullptr};
        for (int64_t r = begin; r < end; ++r) {
            const double* vr_r = V + r * cols;
            const double* az_r = A + r * cols;
            if (!buf) {
                ring_direct ring{vr_r, az_r, cols};
                vad(ring, E[r], min_gates, min_spread, o + r, rows);
                continue;
            }
            if (!trig.row || !same_row(trig.row, az_r, cols)) {
                trig.row = nullptr;
                // Only a row that the next ring shares is worth the table.
                if (r + 1 < end && !trig_failed && same_row(az_r, az_r + cols, cols)) {
                    if (!trig_buf) {
                        trig_buf.reset(new (std::nothrow) double[4 * cols]);
                        trig_failed = !trig_buf;
                        trig.buf = trig_buf.get();
                    }
                    if (trig_buf)
                        trig.fill(az_r);
                }
            }
            if (trig.row) {
                ring_shared ring{{vr_r, az_r, cols, buf.get()}, &trig};
                vad_shared(ring, E[r], min_gates, min_spread, o + r, rows);
            } else {
                ring_packed ring{{vr_r, az_r, cols, buf.get()}};
                vad(ring, E[r], min_gates, min_spread, o + r, rows);
            }
        }
    };
    parallel_blocks(rows, block, n_threads, body);
    return out;
}

} // namespace kestrin
