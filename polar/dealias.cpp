// Dealiasing of Doppler radial velocities, a volume at a time.
//
// 1. Reference wind without unfolding: the gradient VAD of Gao et al. (2004,
//    MWR 132, 1399). Along each ring (one gate of one sweep) the differences
//    of velocity between rays a lag apart, wrapped into [-V_N, V_N), follow
//    2 sin(D/2) cos(el) (u cos m - v sin m) at the pair's middle azimuth m
//    whatever the folding; their normal equations are pooled in height bins
//    over all sweeps and solved for u and v, then solved again with each
//    difference wrapped around the first fit and trimmed to it. The same fit
//    over cells of the sweep (+-60 degrees, +-8 gates) gives a local wind.
// 2. Every gate is unfolded to the fold nearest the reference radial wind.
// 3. Continuity within each sweep (after the region ideas of James and Houze
//    2001 and Louf et al. 2020, on the reference-unfolded field as in Xu et
//    al. 2011): neighbouring gates whose unfolded values differ by less than
//    V_N / 2 join one region; the regions are then joined in order of the
//    evidence along their common edges, each edge voting for the number of
//    folds between the two sides, so that regions the reference put one or
//    more folds off are put back; each joined group takes the overall fold
//    offset that agrees best with the reference.
// 4. Gate by gate, a Jacobi pass puts each gate on the fold nearest the mean
//    of its unfolded neighbours; a gate still far from them is unresolved.
//
// Every pass reads the previous result and writes a new one, sweeps and
// rings are fixed work items and sums run in a fixed order, so the result is
// the same for every thread count.
#include "parallel.hpp"
#include "polar.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <exception>
#include <limits>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace polar {
namespace {

constexpr double pi = 3.14159265358979323846;
constexpr double deg = pi / 180.0;
constexpr int8_t unresolved = -128; // fold code of a gate without a dealiased value

// Method constants (fractions of V_N unless stated).
constexpr double lag_degrees = 5.0;     // azimuth lag of the gradient VAD differences
constexpr double bin_height = 200.0;    // m, height bins of the reference profile
constexpr int64_t min_bin_pairs = 40;   // differences a bin needs for a fit
constexpr double link_fraction = 0.5;   // neighbours closer than this join a region
constexpr double reject_fraction = 0.7; // gates farther than this from their neighbours
constexpr double vote_fraction = 0.6;   // edges left farther apart than this do not vote
constexpr double ambiguity = 0.1;       // folds a group's best shift must win by, per gate
constexpr double merge_support = 8.0;
constexpr double local_degrees = 60.0;  // half-width of the local gradient VAD window
constexpr int64_t local_block = 8;      // gates of a local cell; the window is three deep
constexpr double min_local_pairs = 200; // differences a local fit needs
constexpr double max_height = 1e8;      // m: gates at least this high are refused (bins of 200 m)
//   // folds of reference cost an edge's vote outweighs

// Normal equations of d = u X + v Y.
struct normal_sums {
    double n = 0, xx = 0, xy = 0, yy = 0, xd = 0, yd = 0, dd = 0;

    void add(double x, double y, double d)
    {
        n += 1.0;
        xx += x * x;
        xy += x * y;
        yy += y * y;
        xd += x * d;
        yd += y * d;
        dd += d * d;
    }

    // Another ring's sums with its X and Y scaled by c.
    void add_scaled(const normal_sums& o, double c)
    {
        const double c2 = c * c;
        n += o.n;
        xx += c2 * o.xx;
        xy += c2 * o.xy;
        yy += c2 * o.yy;
        xd += c * o.xd;
        yd += c * o.yd;
        dd += o.dd;
    }

    void add_weighted(const normal_sums& o, double w)
    {
        n += w * o.n;
        xx += w * o.xx;
        xy += w * o.xy;
        yy += w * o.yy;
        xd += w * o.xd;
        yd += w * o.yd;
        dd += w * o.dd;
    }
};

// Where the sweeps lie in the flat arrays, and their rays in azimuth order.
struct volume_layout {
    int64_t sweeps = 0;
    const int64_t* rays = nullptr;
    const int64_t* gates = nullptr;
    std::vector<int64_t> ray0, gate0, cell0; // first ray, ring and gate of each sweep
    std::vector<int32_t> order;              // rays of each sweep in azimuth order
    std::vector<double> az;                  // their azimuths, degrees in [0, 360)
    std::vector<uint8_t> linked;             // sorted ray p and p + 1 are neighbours
    std::vector<int32_t> partner;            // gradient VAD partner of sorted ray p, or -1
    std::vector<double> gx, gy;              // 2 sin(D/2) cos m and -2 sin(D/2) sin m
};

// Sorts the rays of one sweep by azimuth and finds its neighbours: rays
// closer than three median steps are neighbours (the last and the first
// across north when the sweep closes the circle), and the gradient VAD pairs
// each ray with the ray `lag` places on, when that one lies within 1.5 lags
// of steps.
void sweep_azimuths(const double* az_in, int64_t n, int32_t* order, double* az, uint8_t* linked,
                    int32_t* partner, double* gx, double* gy)
{
    for (int64_t i = 0; i < n; ++i)
        order[i] = static_cast<int32_t>(i);
    auto wrapped = [az_in](int32_t i) {
        double a = std::fmod(az_in[i], 360.0);
        return a < 0 ? a + 360.0 : a;
    };
    std::sort(order, order + n, [&](int32_t a, int32_t b) {
        const double x = wrapped(a), y = wrapped(b);
        return x < y || (x == y && a < b);
    });
    for (int64_t p = 0; p < n; ++p)
        az[p] = wrapped(order[p]);
    std::vector<double> steps(static_cast<size_t>(n));
    for (int64_t p = 0; p < n; ++p)
        steps[p] = p + 1 < n ? az[p + 1] - az[p] : az[0] + 360.0 - az[p];
    std::vector<double> sorted(steps);
    std::nth_element(sorted.begin(), sorted.begin() + n / 2, sorted.end());
    const double step = n > 0 ? std::max(sorted[n / 2], 1e-6) : 1.0;
    for (int64_t p = 0; p < n; ++p)
        linked[p] = n > 1 && steps[p] <= 3.0 * step;
    const int64_t lag = std::max<int64_t>(1, std::llround(lag_degrees / step));
    for (int64_t p = 0; p < n; ++p) {
        partner[p] = -1;
        gx[p] = gy[p] = 0.0;
        if (n < 2 * lag + 1)
            continue;
        const int64_t q = (p + lag) % n;
        double d = az[q] - az[p];
        if (d <= 0)
            d += 360.0;
        if (d > 1.5 * static_cast<double>(lag) * step + 1e-9)
            continue;
        const double m = (az[p] + 0.5 * d) * deg;
        const double s = 2.0 * std::sin(0.5 * d * deg);
        partner[p] = static_cast<int32_t>(q);
        gx[p] = s * std::cos(m);
        gy[p] = -s * std::sin(m);
    }
}

// The integer nearest x, halves away from zero, for finite |x| < 2^62 (every
// caller passes differences of velocities over 2 V_N): a truncating
// conversion the compiler inlines, where nearbyint is a library call on the
// baseline instruction set.
inline int64_t round_int(double x)
{
    return static_cast<int64_t>(x < 0.0 ? x - 0.5 : x + 0.5);
}

// d wrapped into [-V_N, V_N] (ties either way).
inline double wrap(double d, double vn)
{
    const double two_vn = 2.0 * vn;
    return d - two_vn * static_cast<double>(round_int(d / two_vn));
}

// Gradient VAD sums of the rings [j0, j1) of one sweep. Without a previous
// fit (pu null) each difference is wrapped into [-V_N, V_N); with one it is
// wrapped around the difference the fit predicts and kept when within
// trim[j] of it.
void gvad_rings(const float* v, int64_t gates, int64_t nray, const int32_t* order,
                const int32_t* partner, const double* gx, const double* gy, double vn, int64_t j0,
                int64_t j1, const double* cos_el, const double* pu, const double* pv,
                const double* trim, normal_sums* out)
{
    for (int64_t p = 0; p < nray; ++p) {
        const int32_t q = partner[p];
        if (q < 0)
            continue;
        const float* a = v + static_cast<int64_t>(order[p]) * gates;
        const float* b = v + static_cast<int64_t>(order[q]) * gates;
        // every other ring: the bins pool tens of rings, and the work halves
        for (int64_t j = j0 + (j0 & 1); j < j1; j += 2) {
            const double va = a[j], vb = b[j];
            if (!(std::isfinite(va) && std::isfinite(vb)))
                continue;
            double d = vb - va;
            if (pu) {
                const double pred = cos_el[j] * (pu[j] * gx[p] + pv[j] * gy[p]);
                const double r = wrap(d - pred, vn);
                if (std::fabs(r) > trim[j])
                    continue;
                d = pred + r;
            } else {
                d = wrap(d, vn);
            }
            out[j - j0].add(gx[p], gy[p], d);
        }
    }
}

// The reference profile on height bins: u, v and the rms of the fit, NaN where
// a bin has no fit; then filled by linear interpolation and held constant
// beyond the first and last bins with a fit (calm where no bin has one).
struct profile {
    int64_t bins = 0;
    std::vector<double> u, v, rms, n;
    std::vector<uint8_t> fitted; // the bin has its own fit (or lies in a given profile)
};

void solve_bins(const std::vector<normal_sums>& sums, profile& out)
{
    const int64_t nb = static_cast<int64_t>(sums.size());
    out.bins = nb;
    out.u.assign(nb, std::numeric_limits<double>::quiet_NaN());
    out.v = out.u;
    out.rms = out.u;
    out.n.assign(nb, 0.0);
    out.fitted.assign(nb, 0);
    for (int64_t b = 0; b < nb; ++b) {
        // a 1-2-1 window of bins, in a fixed order
        normal_sums s;
        for (int64_t o = -1; o <= 1; ++o)
            if (b + o >= 0 && b + o < nb)
                s.add_weighted(sums[b + o], o == 0 ? 2.0 : 1.0);
        out.n[b] = sums[b].n;
        if (s.n < 2.0 * min_bin_pairs)
            continue;
        const double det = s.xx * s.yy - s.xy * s.xy;
        const double tr = s.xx + s.yy;
        if (!(det > 0.02 * tr * tr))
            continue; // the differences do not cover enough of the circle
        const double u = (s.xd * s.yy - s.yd * s.xy) / det;
        const double v = (s.yd * s.xx - s.xd * s.xy) / det;
        const double res =
            s.dd - 2.0 * (u * s.xd + v * s.yd) + u * u * s.xx + 2.0 * u * v * s.xy + v * v * s.yy;
        out.u[b] = u;
        out.v[b] = v;
        out.rms[b] = std::sqrt(std::max(res, 0.0) / s.n);
        out.fitted[b] = 1;
    }
}

void fill_profile(profile& p)
{
    const int64_t nb = p.bins;
    int64_t first = -1, last = -1;
    for (int64_t b = 0; b < nb; ++b)
        if (std::isfinite(p.u[b])) {
            if (first < 0)
                first = b;
            last = b;
        }
    if (first < 0) {
        std::fill(p.u.begin(), p.u.end(), 0.0);
        std::fill(p.v.begin(), p.v.end(), 0.0);
        return;
    }
    for (int64_t b = 0; b < first; ++b) {
        p.u[b] = p.u[first];
        p.v[b] = p.v[first];
        p.rms[b] = p.rms[first];
    }
    for (int64_t b = last + 1; b < nb; ++b) {
        p.u[b] = p.u[last];
        p.v[b] = p.v[last];
        p.rms[b] = p.rms[last];
    }
    int64_t prev = first;
    for (int64_t b = first + 1; b <= last; ++b) {
        if (!std::isfinite(p.u[b]))
            continue;
        for (int64_t c = prev + 1; c < b; ++c) {
            const double f = static_cast<double>(c - prev) / static_cast<double>(b - prev);
            p.u[c] = p.u[prev] + f * (p.u[b] - p.u[prev]);
            p.v[c] = p.v[prev] + f * (p.v[b] - p.v[prev]);
            p.rms[c] = p.rms[prev] + f * (p.rms[b] - p.rms[prev]);
        }
        prev = b;
    }
}

// The profile at height h (m above the radar), linear between bin centres.
inline void profile_at(const profile& p, double h, double& u, double& v)
{
    const double x = h / bin_height - 0.5;
    if (!(x > 0)) {
        u = p.u[0];
        v = p.v[0];
        return;
    }
    const int64_t b = static_cast<int64_t>(x);
    if (b >= p.bins - 1) {
        u = p.u[p.bins - 1];
        v = p.v[p.bins - 1];
        return;
    }
    const double f = x - static_cast<double>(b);
    u = p.u[b] + f * (p.u[b + 1] - p.u[b]);
    v = p.v[b] + f * (p.v[b + 1] - p.v[b]);
}

inline int64_t bin_of(double h, int64_t bins)
{
    if (!(h > 0))
        return 0;
    return std::min<int64_t>(static_cast<int64_t>(h / bin_height), bins - 1);
}

// Open-addressing table from a pair of region ids to the votes of their
// common edges for -2 .. 2 folds between them.
struct pair_votes {
    uint32_t a, b;
    int32_t votes[5];
};

class pair_table {
public:
    void reset(size_t expected)
    {
        size_t cap = 64;
        while (cap < 2 * expected)
            cap <<= 1;
        keys_.assign(cap, empty);
        slots_.assign(cap, -1);
        pairs_.clear();
    }

    void vote(uint32_t a, uint32_t b, int n)
    {
        if (a > b) {
            std::swap(a, b);
            n = -n;
        }
        n = std::clamp(n, -2, 2);
        const uint64_t key = (static_cast<uint64_t>(a) << 32) | b;
        size_t mask = keys_.size() - 1;
        size_t h = static_cast<size_t>((key * 0x9E3779B97F4A7C15ull) >> 20) & mask;
        while (keys_[h] != key) {
            if (keys_[h] == empty) {
                if (2 * (pairs_.size() + 1) > keys_.size()) {
                    grow();
                    vote(a, b, n);
                    return;
                }
                keys_[h] = key;
                slots_[h] = static_cast<int32_t>(pairs_.size());
                pairs_.push_back({a, b, {0, 0, 0, 0, 0}});
                break;
            }
            h = (h + 1) & mask;
        }
        ++pairs_[static_cast<size_t>(slots_[h])].votes[n + 2];
    }

    std::vector<pair_votes>& pairs() { return pairs_; }

private:
    static constexpr uint64_t empty = ~uint64_t{0};

    void grow()
    {
        std::vector<uint64_t> keys(keys_.size() * 2, empty);
        std::vector<int32_t> slots(keys.size(), -1);
        const size_t mask = keys.size() - 1;
        for (size_t i = 0; i < keys_.size(); ++i) {
            if (keys_[i] == empty)
                continue;
            size_t h = static_cast<size_t>((keys_[i] * 0x9E3779B97F4A7C15ull) >> 20) & mask;
            while (keys[h] != empty)
                h = (h + 1) & mask;
            keys[h] = keys_[i];
            slots[h] = slots_[i];
        }
        keys_.swap(keys);
        slots_.swap(slots);
    }

    std::vector<uint64_t> keys_;
    std::vector<int32_t> slots_;
    std::vector<pair_votes> pairs_;
};

inline int32_t find_root(int32_t* parent, int32_t x)
{
    while (parent[x] != x) {
        parent[x] = parent[parent[x]];
        x = parent[x];
    }
    return x;
}

// Regions with a fold offset relative to their parent, for joining regions.
struct offset_forest {
    std::vector<int32_t> parent;
    std::vector<int32_t> offset; // folds relative to the parent
    std::vector<int64_t> size;   // gates of the group, at its root

    // Root of r and r's folds relative to it, compressing the path.
    std::pair<int32_t, int32_t> find(int32_t r)
    {
        int32_t total = 0, x = r;
        while (parent[x] != x) {
            total += offset[x];
            x = parent[x];
        }
        const int32_t root = x;
        // second walk: point every node at the root with its total offset
        x = r;
        int32_t remaining = total;
        while (parent[x] != x) {
            const int32_t next = parent[x];
            const int32_t own = offset[x];
            parent[x] = root;
            offset[x] = remaining;
            remaining -= own;
            x = next;
        }
        return {root, total};
    }
};

// Scratch of one worker for one sweep, in azimuth-sorted ray order.
struct sweep_scratch {
    std::vector<float> u;      // unfolded velocity, NaN = no data
    std::vector<float> ref;    // reference radial velocity of the profile
    std::vector<float> lref;   // and of the local fit where it has one (else the profile's)
    std::vector<int32_t> id;   // union-find parent, then region id
    std::vector<int8_t> k, k2; // folds
    pair_table table;
};

// The neighbours of gate (p, j) ahead of it: along the ray and to the next
// ray in azimuth, each skipping one missing gate or ray (f's second argument
// says so).
template <class F>
inline void forward_neighbours(const float* u, int64_t nray, int64_t gates, const uint8_t* linked,
                               int64_t p, int64_t j, F&& f)
{
    const int64_t g = p * gates + j;
    if (j + 1 < gates) {
        if (!std::isnan(u[g + 1]))
            f(g + 1, false);
        else if (j + 2 < gates && !std::isnan(u[g + 2]))
            f(g + 2, true);
    }
    if (linked[p]) {
        const int64_t p1 = p + 1 < nray ? p + 1 : 0;
        if (p1 == p)
            return;
        const int64_t g1 = p1 * gates + j;
        if (!std::isnan(u[g1]))
            f(g1, false);
        else if (linked[p1]) {
            const int64_t p2 = p1 + 1 < nray ? p1 + 1 : 0;
            if (p2 != p && !std::isnan(u[p2 * gates + j]))
                f(p2 * gates + j, true);
        }
    }
}

// Continuity within one sweep: regions, their joining, the offset of each
// group, then the gate passes. Reads u (reference-unfolded) and ref, writes k.
void sweep_continuity(int64_t nray, int64_t gates, const uint8_t* linked, double vn,
                      const uint8_t* supported, sweep_scratch& s)
{
    const int64_t cells = nray * gates;
    float* u = s.u.data();
    const float* ref = s.ref.data();
    int32_t* id = s.id.data();
    int8_t* k = s.k.data();
    const double two_vn = 2.0 * vn;
    const float link = static_cast<float>(link_fraction * vn);

    // Regions: union of neighbours closer than `link`, each root the
    // smallest gate index of its region.
    for (int64_t g = 0; g < cells; ++g)
        id[g] = static_cast<int32_t>(g);
    for (int64_t p = 0; p < nray; ++p)
        for (int64_t j = 0; j < gates; ++j) {
            const int64_t g = p * gates + j;
            if (std::isnan(u[g]))
                continue;
            int32_t a = -1; // g's root, found at its first link
            forward_neighbours(u, nray, gates, linked, p, j, [&](int64_t h, bool skip) {
                // a link across a missing gate or ray only votes (below): in strong
                // shear one such link could join gates a fold apart
                if (skip || std::fabs(u[g] - u[h]) >= link)
                    return;
                if (a < 0)
                    a = find_root(id, static_cast<int32_t>(g));
                const int32_t b = find_root(id, static_cast<int32_t>(h));
                if (a < b) {
                    id[b] = a;
                } else if (b < a) {
                    id[a] = b;
                    a = b;
                }
            });
        }
    // Region ids in scan order (a root precedes the rest of its region).
    int32_t regions = 0;
    for (int64_t g = 0; g < cells; ++g) {
        if (std::isnan(u[g])) {
            id[g] = -1;
            continue;
        }
        const int32_t parent = id[g];
        if (parent == g)
            id[g] = -2 - regions++; // marks a root until all are numbered
        else
            id[g] = parent; // its root has a smaller index: already numbered
    }
    // Second walk: roots to their number, others through their chain.
    for (int64_t g = 0; g < cells; ++g) {
        const int32_t x = id[g];
        if (x == -1)
            continue;
        if (x <= -2) {
            id[g] = -2 - x;
            continue;
        }
        // x < g: already replaced by its region number? Only roots are; follow
        // the chain of original parents, which all point to smaller indices.
        id[g] = id[x];
    }

    // Region sizes and mean departures from the reference.
    std::vector<int64_t> size(static_cast<size_t>(regions), 0);
    std::vector<double> dev(static_cast<size_t>(regions), 0.0);
    for (int64_t g = 0; g < cells; ++g) {
        const int32_t r = id[g];
        if (r < 0)
            continue;
        ++size[r];
        dev[r] += static_cast<double>(u[g]) - static_cast<double>(ref[g]);
    }

    // Votes of the edges between regions.
    s.table.reset(static_cast<size_t>(regions) * 2 + 16);
    for (int64_t p = 0; p < nray; ++p)
        for (int64_t j = 0; j < gates; ++j) {
            const int64_t g = p * gates + j;
            const int32_t a = id[g];
            if (a < 0)
                continue;
            forward_neighbours(u, nray, gates, linked, p, j, [&](int64_t h, bool) {
                const int32_t b = id[h];
                if (b == a)
                    return;
                const double jump = static_cast<double>(u[g]) - static_cast<double>(u[h]);
                const int n =
                    static_cast<int>(std::clamp<int64_t>(round_int(jump / two_vn), -8, 8));
                // an edge votes only when some fold makes it continuous: a jump
                // that stays large under every fold is a discontinuity (noise,
                // an edge of the echo), not a fold line
                if (std::fabs(jump - two_vn * n) >= vote_fraction * vn)
                    return;
                s.table.vote(static_cast<uint32_t>(a), static_cast<uint32_t>(b), n);
            });
        }
    // Edges first where their votes agree most (support minus dissent), then
    // by region ids: a fixed order.
    struct ranked {
        int64_t score;
        uint32_t a, b;
        int n;
    };
    std::vector<ranked> order;
    order.reserve(s.table.pairs().size());
    for (const auto& pv : s.table.pairs()) {
        int best = 2;
        int64_t total = 0;
        for (int i = 0; i < 5; ++i) {
            total += pv.votes[i];
            if (pv.votes[i] > pv.votes[best]
                || (pv.votes[i] == pv.votes[best] && std::abs(i - 2) < std::abs(best - 2)))
                best = i;
        }
        const int64_t score = 2 * static_cast<int64_t>(pv.votes[best]) - total;
        if (score > 0)
            order.push_back({score, pv.a, pv.b, best - 2});
    }
    std::sort(order.begin(), order.end(), [](const ranked& x, const ranked& y) {
        if (x.score != y.score)
            return x.score > y.score;
        if (x.a != y.a)
            return x.a < y.a;
        return x.b < y.b;
    });
    // Each group keeps the cost of its departures from the reference,
    // sum over its regions of size x |mean departure|, for its folds
    // shifted by -W .. W; beyond, every region moves away by 2 V_N a fold.
    constexpr int W = 4, shifts = 2 * W + 1;
    offset_forest forest;
    forest.parent.resize(static_cast<size_t>(regions));
    forest.offset.assign(static_cast<size_t>(regions), 0);
    forest.size = size;
    std::vector<double> cost(static_cast<size_t>(regions) * shifts);
    for (int32_t r = 0; r < regions; ++r) {
        forest.parent[r] = r;
        const double m = dev[r] / static_cast<double>(size[r]);
        for (int t = -W; t <= W; ++t)
            cost[static_cast<size_t>(r) * shifts + t + W] =
                static_cast<double>(size[r]) * std::fabs(m + two_vn * t);
    }
    auto cost_at = [&](int32_t g, int t) {
        const double* c = cost.data() + static_cast<size_t>(g) * shifts;
        if (t < -W)
            return c[0] + static_cast<double>(forest.size[g]) * two_vn * (-W - t);
        if (t > W)
            return c[2 * W] + static_cast<double>(forest.size[g]) * two_vn * (t - W);
        return c[t + W];
    };
    auto best_cost = [&](int32_t g) {
        const double* c = cost.data() + static_cast<size_t>(g) * shifts;
        return *std::min_element(c, c + shifts);
    };
    double merged[shifts];
    for (const auto& e : order) {
        // n folds between them: u_a - u_b = 2 V_N n, so b needs n more folds
        // than a
        auto [ra, oa] = forest.find(static_cast<int32_t>(e.a));
        auto [rb, ob] = forest.find(static_cast<int32_t>(e.b));
        if (ra == rb)
            continue;
        const int32_t rel = e.n + oa - ob; // folds of rb's group relative to ra
        // The join must not cost the two groups more agreement with the
        // reference than its edges support (a chain of noisy gates between
        // two well-referenced groups does not move either).
        int32_t parent = ra, child = rb, off = rel; // the smaller group joins the larger
        if (forest.size[ra] < forest.size[rb]) {
            parent = rb;
            child = ra;
            off = -rel;
        }
        double best = std::numeric_limits<double>::infinity();
        for (int t = -W; t <= W; ++t) {
            merged[t + W] = cost_at(parent, t) + cost_at(child, t + off);
            best = std::min(best, merged[t + W]);
        }
        const double penalty = best - best_cost(parent) - best_cost(child);
        if (penalty > merge_support * static_cast<double>(e.score) * two_vn)
            continue;
        forest.parent[child] = parent;
        forest.offset[child] = off;
        forest.size[parent] += forest.size[child];
        std::copy(merged, merged + shifts, cost.data() + static_cast<size_t>(parent) * shifts);
    }
    // Offset of each group: the shift with the smallest cost. A group is
    // unresolved when most of its gates lie where the profile has no fit of
    // its own nearby, or when a second shift costs nearly as little (its
    // gates about V_N from the reference, e.g. an isolated speckle).
    std::vector<int32_t> root(static_cast<size_t>(regions)), folds(static_cast<size_t>(regions));
    std::vector<int64_t> backed(static_cast<size_t>(regions), 0);
    for (int64_t p = 0; p < nray; ++p)
        for (int64_t j = 0; j < gates; ++j) {
            const int32_t r = id[p * gates + j];
            if (r >= 0 && supported[j])
                ++backed[r];
        }
    for (int32_t r = 0; r < regions; ++r) {
        auto [rr, o] = forest.find(r);
        root[r] = rr;
        folds[r] = o;
        if (rr != r)
            backed[rr] += backed[r];
    }
    std::vector<int8_t> shift(static_cast<size_t>(regions), 0);
    std::vector<uint8_t> lost(static_cast<size_t>(regions), 0);
    for (int32_t r = 0; r < regions; ++r) {
        if (root[r] != r)
            continue;
        const double* c = cost.data() + static_cast<size_t>(r) * shifts;
        int best = W;
        for (int t = 0; t < shifts; ++t)
            if (c[t] < c[best] || (c[t] == c[best] && std::abs(t - W) < std::abs(best - W)))
                best = t;
        double second = std::numeric_limits<double>::infinity();
        for (int t = 0; t < shifts; ++t)
            if (t != best)
                second = std::min(second, c[t]);
        shift[r] = static_cast<int8_t>(best - W);
        const double n = static_cast<double>(forest.size[r]);
        lost[r] = 2 * backed[r] < forest.size[r] || second - c[best] < ambiguity * n * two_vn;
    }
    for (int64_t g = 0; g < cells; ++g) {
        const int32_t r = id[g];
        if (r < 0)
            continue;
        if (lost[root[r]]) {
            k[g] = unresolved;
            u[g] = std::numeric_limits<float>::quiet_NaN();
            continue;
        }
        const int add = folds[r] + shift[root[r]];
        if (add != 0) {
            k[g] = static_cast<int8_t>(std::clamp(k[g] + add, -127, 127));
            u[g] = static_cast<float>(static_cast<double>(u[g]) + two_vn * add);
        }
    }
}

// The local gradient VAD. The differences of the gradient VAD pairs (each
// wrapped around and trimmed to the profile's prediction, as in the last
// profile pass; even rings only) are summed in cells of about 2 degrees of
// azimuth (by the pair's middle) and local_block gates; the fit over the
// cells within local_degrees and one block of a cell gives that cell's wind,
// interpolated between cell centres to every gate. Where the window has
// enough differences covering enough directions, its radial wind replaces
// the profile's in ref: a wind that changes across the sweep (a front, an
// outflow) is followed over scales of a quadrant.
void local_reference(const float* v, int64_t nray, int64_t gates, const int32_t* order,
                     const int32_t* partner, const double* gx, const double* gy, const double* az,
                     bool closed, double vn, const double* cos_el, const double* pu,
                     const double* pv, const double* trim, float* ref, std::vector<double>& work)
{
    int64_t lag = 0;
    for (int64_t p = 0; p < nray && lag == 0; ++p)
        if (partner[p] >= 0)
            lag = (partner[p] - p + nray) % nray;
    if (lag == 0 || gates == 0)
        return;
    const int64_t width = std::max<int64_t>(1, nray / 180); // rays per cell
    const int64_t nc = (nray + width - 1) / width;          // cells in azimuth
    const int64_t nb = (gates + local_block - 1) / local_block;
    const int64_t half =
        std::max<int64_t>(1,
                          std::llround(local_degrees / 360.0 * static_cast<double>(nray)
                                       / static_cast<double>(width)));
    // sums per cell (6 each: n, xx, xy, yy, xd, yd), then prefix sums over
    // azimuth per block (nc + 1 each), then the fits (u, v) per cell
    const size_t cells = static_cast<size_t>(nc * nb);
    work.assign(6 * cells + 6 * static_cast<size_t>((nc + 1) * nb) + 2 * cells, 0.0);
    double* S = work.data();
    double* P = S + 6 * cells;
    double* F = P + 6 * static_cast<size_t>((nc + 1) * nb);
    for (int64_t j = 0; j < gates; j += 2) {
        const double c = cos_el[j];
        if (!std::isfinite(c))
            continue;
        const double uj = pu[j], vj = pv[j], tj = trim[j];
        const int64_t b = j / local_block;
        for (int64_t p = 0; p < nray; ++p) {
            const int32_t q = partner[p];
            if (q < 0)
                continue;
            const double va = v[static_cast<int64_t>(order[p]) * gates + j];
            const double vb = v[static_cast<int64_t>(order[q]) * gates + j];
            if (!(std::isfinite(va) && std::isfinite(vb)))
                continue;
            const double x = gx[p] * c, y = gy[p] * c;
            const double pred = uj * x + vj * y;
            const double r = wrap(vb - va - pred, vn);
            if (std::fabs(r) > tj)
                continue;
            const double d = pred + r;
            double* e = S + 6 * static_cast<size_t>(b * nc + ((p + lag / 2) % nray) / width);
            e[0] += 1.0;
            e[1] += x * x;
            e[2] += x * y;
            e[3] += y * y;
            e[4] += x * d;
            e[5] += y * d;
        }
    }
    for (int64_t b = 0; b < nb; ++b) {
        double* pb = P + 6 * b * (nc + 1);
        for (int64_t i = 0; i < nc; ++i)
            for (int t = 0; t < 6; ++t)
                pb[6 * (i + 1) + t] = pb[6 * i + t] + S[6 * (b * nc + i) + t];
    }
    for (int64_t b = 0; b < nb; ++b)
        for (int64_t i = 0; i < nc; ++i) {
            double w[6] = {0, 0, 0, 0, 0, 0};
            for (int64_t bb = std::max<int64_t>(0, b - 1); bb <= std::min(nb - 1, b + 1); ++bb) {
                const double* pb = P + 6 * bb * (nc + 1);
                auto take = [&](int64_t lo, int64_t hi) { // cells [lo, hi)
                    for (int t = 0; t < 6; ++t)
                        w[t] += pb[6 * hi + t] - pb[6 * lo + t];
                };
                int64_t lo = i - half, hi = i + half + 1;
                if (closed) {
                    if (lo < 0) {
                        take(nc + lo, nc);
                        lo = 0;
                    }
                    if (hi > nc) {
                        take(0, hi - nc);
                        hi = nc;
                    }
                } else {
                    lo = std::max<int64_t>(lo, 0);
                    hi = std::min(hi, nc);
                }
                if (hi > lo)
                    take(lo, hi);
            }
            const double det = w[1] * w[3] - w[2] * w[2];
            const double tr = w[1] + w[3];
            double* f = F + 2 * static_cast<size_t>(b * nc + i);
            if (w[0] < min_local_pairs || !(det > 0.02 * tr * tr)) {
                f[0] = f[1] = std::numeric_limits<double>::quiet_NaN();
                continue;
            }
            f[0] = (w[4] * w[3] - w[5] * w[2]) / det;
            f[1] = (w[5] * w[1] - w[4] * w[2]) / det;
        }
    // Every gate: the fits of the four cells around it, by distance to their
    // centres (those with a fit; none: the profile's reference stays).
    std::vector<double> row_u(static_cast<size_t>(nb)), row_v(row_u), row_w(row_u);
    std::vector<int64_t> gb0(static_cast<size_t>(gates)), gb1(gb0);
    std::vector<double> gf(static_cast<size_t>(gates));
    for (int64_t j = 0; j < gates; ++j) {
        const double cb = (static_cast<double>(j) + 0.5) / static_cast<double>(local_block) - 0.5;
        const int64_t b0 = static_cast<int64_t>(std::floor(cb));
        gf[j] = cb - static_cast<double>(b0);
        gb0[j] = std::max<int64_t>(b0, 0);
        gb1[j] = std::min(b0 + 1, nb - 1);
    }
    for (int64_t p = 0; p < nray; ++p) {
        const double ci = (static_cast<double>(p) + 0.5) / static_cast<double>(width) - 0.5;
        int64_t i0 = static_cast<int64_t>(std::floor(ci));
        const double fi = ci - static_cast<double>(i0);
        int64_t i1 = i0 + 1;
        if (closed) {
            i0 = (i0 + nc) % nc;
            i1 = i1 % nc;
        } else {
            i0 = std::clamp<int64_t>(i0, 0, nc - 1);
            i1 = std::clamp<int64_t>(i1, 0, nc - 1);
        }
        // the azimuth interpolation at each block centre
        for (int64_t b = 0; b < nb; ++b) {
            const double* f0 = F + 2 * static_cast<size_t>(b * nc + i0);
            const double* f1 = F + 2 * static_cast<size_t>(b * nc + i1);
            const double w0 = std::isfinite(f0[0]) ? 1.0 - fi : 0.0;
            const double w1 = std::isfinite(f1[0]) ? fi : 0.0;
            row_w[b] = w0 + w1;
            row_u[b] = (w0 > 0 ? w0 * f0[0] : 0.0) + (w1 > 0 ? w1 * f1[0] : 0.0);
            row_v[b] = (w0 > 0 ? w0 * f0[1] : 0.0) + (w1 > 0 ? w1 * f1[1] : 0.0);
        }
        const double sa = std::sin(az[p] * deg), ca = std::cos(az[p] * deg);
        for (int64_t j = 0; j < gates; ++j) {
            const int64_t b0 = gb0[j], b1 = gb1[j];
            const double fb = gf[j];
            // bilinear over the corners with a fit, their weights renormalised
            const double wt = (1.0 - fb) * row_w[b0] + fb * row_w[b1];
            if (!(wt > 0.25))
                continue; // less than a quarter of the weight has a fit
            const double u = ((1.0 - fb) * row_u[b0] + fb * row_u[b1]) / wt;
            const double vv = ((1.0 - fb) * row_v[b0] + fb * row_v[b1]) / wt;
            const double c = cos_el[j];
            if (std::isfinite(c))
                ref[p * gates + j] = static_cast<float>((u * sa + vv * ca) * c);
        }
    }
}

// One Jacobi pass: each gate to the fold nearest the mean of its unfolded
// neighbours within +-2 gates and +-1 ray (the previous values, never the
// pass's own); with `reject`, a gate left farther than reject_fraction V_N
// from that mean (with at least 3 neighbours) becomes unresolved.
void gate_pass(int64_t nray, int64_t gates, const uint8_t* linked, double vn, const float* u_in,
               const int8_t* k_in, float* u_out, int8_t* k_out, bool reject,
               std::vector<double>& work)
{
    const double two_vn = 2.0 * vn;
    // Prefix sums of each row's values and counts, a row computed once and
    // kept in one of four slots while the rays around it need it.
    const size_t len = static_cast<size_t>(gates + 1);
    work.resize(8 * len);
    int64_t tag[4] = {-1, -1, -1, -1};
    int64_t next_slot = 0;
    auto prefix = [&](int64_t row) -> const double* {
        for (int t = 0; t < 4; ++t)
            if (tag[t] == row)
                return work.data() + 2 * len * static_cast<size_t>(t);
        const int64_t t = next_slot;
        next_slot = (next_slot + 1) % 4;
        tag[t] = row;
        double* ps = work.data() + 2 * len * static_cast<size_t>(t);
        double* pc = ps + len;
        const float* x = u_in + row * gates;
        ps[0] = pc[0] = 0.0;
        for (int64_t j = 0; j < gates; ++j) {
            const bool ok = !std::isnan(x[j]);
            ps[j + 1] = ps[j] + (ok ? static_cast<double>(x[j]) : 0.0);
            pc[j + 1] = pc[j] + (ok ? 1.0 : 0.0);
        }
        return ps;
    };
    for (int64_t p = 0; p < nray; ++p) {
        int64_t rows[3] = {-1, p, -1};
        const int64_t prev = p > 0 ? p - 1 : nray - 1;
        if (linked[prev] && prev != p)
            rows[0] = prev;
        if (linked[p]) {
            const int64_t nxt = p + 1 < nray ? p + 1 : 0;
            if (nxt != p && nxt != rows[0])
                rows[2] = nxt;
        }
        const double* ps[3];
        int nrows = 0;
        for (int r = 0; r < 3; ++r)
            if (rows[r] >= 0)
                ps[nrows++] = prefix(rows[r]);
        for (int64_t j = 0; j < gates; ++j) {
            const int64_t g = p * gates + j;
            u_out[g] = u_in[g];
            k_out[g] = k_in[g];
            if (std::isnan(u_in[g]))
                continue;
            const int64_t lo = j >= 2 ? j - 2 : 0, hi = j + 3 <= gates ? j + 3 : gates;
            double sum = 0.0, count = -1.0; // the gate itself is not its own neighbour
            for (int r = 0; r < nrows; ++r) {
                sum += ps[r][hi] - ps[r][lo];
                count += ps[r][len + hi] - ps[r][len + lo];
            }
            if (count < 2.0)
                continue;
            const double x = u_in[g];
            const double mean = (sum - x) / count;
            const int n =
                static_cast<int>(std::clamp<int64_t>(round_int((mean - x) / two_vn), -8, 8));
            const double y = x + two_vn * n;
            if (n != 0) {
                u_out[g] = static_cast<float>(y);
                k_out[g] = static_cast<int8_t>(std::clamp(k_in[g] + n, -127, 127));
            }
            if (reject && count >= 3.0 && std::fabs(y - mean) > reject_fraction * vn) {
                u_out[g] = std::numeric_limits<float>::quiet_NaN();
                k_out[g] = unresolved;
            }
        }
    }
}

// kestrin::parallel_blocks over bodies that may throw (memory exhausted in a
// worker's scratch): the block runner needs bodies that do not, so the first
// exception is kept, the blocks not yet begun are skipped, and it is thrown
// again once every worker has finished.
template <class Body>
void guarded_blocks(int64_t count, int64_t block, int32_t n_threads, Body& body)
{
    std::mutex lock;
    std::exception_ptr first;
    std::atomic<bool> failed{false};
    auto guarded = [&](int64_t begin, int64_t end) {
        if (failed.load(std::memory_order_relaxed))
            return;
        try {
            body(begin, end);
        } catch (...) {
            const std::lock_guard<std::mutex> hold(lock);
            if (!first)
                first = std::current_exception();
            failed.store(true, std::memory_order_relaxed);
        }
    };
    kestrin::parallel_blocks(count, block, n_threads, guarded);
    if (first)
        std::rethrow_exception(first);
}

// The whole volume: reference, unfolding and continuity. dealiased receives
// the dealiased velocities (it may be v itself: it is written by a last pass,
// gate by gate from the gate's own value and folds, once every sweep is
// done, so a failure before leaves it as it was); folds one int8 per gate (unresolved for gates
// without data or without a resolved fold); counts the valid and unresolved gates of each sweep;
// prof the reference profile (bins of u, v, rms and differences).
void dealias(const float* v, float* dealiased, const volume_layout& L, const double* height,
             const double* cos_el, const double* nyquist, const profile* given, int32_t n_threads,
             int8_t* folds, int64_t* counts, profile& prof)
{
    const int64_t S = L.sweeps;
    const int64_t rings = L.gate0[S];
    double top = 0.0;
    for (int64_t i = 0; i < rings; ++i)
        if (std::isfinite(height[i]))
            top = std::max(top, height[i]);
    const int64_t bins = std::max<int64_t>(1, static_cast<int64_t>(top / bin_height) + 1);

    std::vector<double> pu(static_cast<size_t>(rings)), pv(pu), trim(pu);
    if (given) {
        prof = *given;
        for (int64_t k = 0; k < S; ++k)
            for (int64_t j = 0; j < L.gates[k]; ++j) {
                const int64_t i = L.gate0[k] + j;
                profile_at(prof, height[i], pu[i], pv[i]);
                trim[i] = 0.5 * nyquist[k];
            }
    } else {
        // Ring blocks of up to 64 gates of one sweep, the work items of the
        // gradient VAD passes.
        constexpr int64_t ring_block = 64;
        std::vector<int64_t> item_sweep, item_j0;
        for (int64_t k = 0; k < S; ++k)
            for (int64_t j = 0; j < L.gates[k]; j += ring_block) {
                item_sweep.push_back(k);
                item_j0.push_back(j);
            }
        std::vector<normal_sums> ring_sums(static_cast<size_t>(rings));
        for (int pass = 0; pass < 2; ++pass) {
            std::fill(ring_sums.begin(), ring_sums.end(), normal_sums{});
            auto body = [&](int64_t begin, int64_t end) {
                for (int64_t it = begin; it < end; ++it) {
                    const int64_t k = item_sweep[it], j0 = item_j0[it];
                    const int64_t j1 = std::min(L.gates[k], j0 + ring_block);
                    const int64_t r0 = L.gate0[k];
                    gvad_rings(v + L.cell0[k], L.gates[k], L.rays[k], L.order.data() + L.ray0[k],
                               L.partner.data() + L.ray0[k], L.gx.data() + L.ray0[k],
                               L.gy.data() + L.ray0[k], nyquist[k], j0, j1, cos_el + r0,
                               pass ? pu.data() + r0 : nullptr, pass ? pv.data() + r0 : nullptr,
                               pass ? trim.data() + r0 : nullptr, ring_sums.data() + r0 + j0);
                }
            };
            kestrin::parallel_blocks(static_cast<int64_t>(item_sweep.size()), 1, n_threads, body);
            // Bins in ring order: a fixed summation order.
            std::vector<normal_sums> bin_sums(static_cast<size_t>(bins));
            for (int64_t i = 0; i < rings; ++i)
                if (std::isfinite(height[i]) && std::isfinite(cos_el[i]))
                    bin_sums[bin_of(height[i], bins)].add_scaled(ring_sums[i], cos_el[i]);
            solve_bins(bin_sums, prof);
            fill_profile(prof);
            for (int64_t k = 0; k < S; ++k)
                for (int64_t j = 0; j < L.gates[k]; ++j) {
                    const int64_t i = L.gate0[k] + j;
                    profile_at(prof, height[i], pu[i], pv[i]);
                    const double rms = prof.rms[bin_of(height[i], bins)];
                    const double t = std::isfinite(rms) ? 2.5 * rms : nyquist[k];
                    trim[i] = std::clamp(t, 2.5, nyquist[k]);
                }
        }
    }

    // Per sweep: reference, unfolding, continuity, gate passes.
    auto body = [&](int64_t begin, int64_t end) {
        sweep_scratch s;
        std::vector<double> local_work;
        for (int64_t k = begin; k < end; ++k) {
            const int64_t nray = L.rays[k], gates = L.gates[k], cells = nray * gates;
            const double vn = nyquist[k];
            const int32_t* order = L.order.data() + L.ray0[k];
            const double* az = L.az.data() + L.ray0[k];
            const uint8_t* linked = L.linked.data() + L.ray0[k];
            const float* vk = v + L.cell0[k];
            s.u.resize(static_cast<size_t>(cells));
            s.ref.resize(static_cast<size_t>(cells));
            s.lref.resize(static_cast<size_t>(cells));
            s.id.resize(static_cast<size_t>(cells));
            s.k.resize(static_cast<size_t>(cells));
            s.k2.resize(static_cast<size_t>(cells));
            std::vector<double> ru(static_cast<size_t>(gates)), rv(ru);
            for (int64_t j = 0; j < gates; ++j) {
                const int64_t i = L.gate0[k] + j;
                double uu, vv;
                profile_at(prof, height[i], uu, vv);
                ru[j] = uu * cos_el[i];
                rv[j] = vv * cos_el[i];
            }
            const double two_vn = 2.0 * vn;
            for (int64_t p = 0; p < nray; ++p) {
                const double sa = std::sin(az[p] * deg), ca = std::cos(az[p] * deg);
                const float* row = vk + static_cast<int64_t>(order[p]) * gates;
                for (int64_t j = 0; j < gates; ++j) {
                    const int64_t g = p * gates + j;
                    const float r = static_cast<float>(ru[j] * sa + rv[j] * ca);
                    s.ref[g] = s.lref[g] = r;
                    s.u[g] =
                        std::isfinite(row[j]) ? row[j] : std::numeric_limits<float>::quiet_NaN();
                }
            }
            local_reference(vk, nray, gates, order, L.partner.data() + L.ray0[k],
                            L.gx.data() + L.ray0[k], L.gy.data() + L.ray0[k], az,
                            nray > 1 && linked[nray - 1], vn, cos_el + L.gate0[k],
                            pu.data() + L.gate0[k], pv.data() + L.gate0[k],
                            trim.data() + L.gate0[k], s.lref.data(), local_work);
            for (int64_t p = 0; p < nray; ++p)
                for (int64_t j = 0; j < gates; ++j) {
                    const int64_t g = p * gates + j;
                    if (std::isnan(s.u[g])) {
                        s.k[g] = unresolved;
                        continue;
                    }
                    const double x = s.u[g];
                    const double t = std::clamp((s.lref[g] - x) / two_vn, -127.0, 127.0);
                    const int64_t n = round_int(t);
                    s.k[g] = static_cast<int8_t>(n);
                    s.u[g] = static_cast<float>(x + two_vn * static_cast<double>(n));
                }
            std::vector<uint8_t> supported(static_cast<size_t>(gates));
            for (int64_t j = 0; j < gates; ++j) {
                const int64_t b = bin_of(height[L.gate0[k] + j], prof.bins);
                for (int64_t c = std::max<int64_t>(0, b - 2); c <= std::min(prof.bins - 1, b + 2);
                     ++c)
                    supported[j] |= prof.fitted[c];
            }
            sweep_continuity(nray, gates, linked, vn, supported.data(), s);
            std::vector<float> u2(static_cast<size_t>(cells));
            gate_pass(nray, gates, linked, vn, s.u.data(), s.k.data(), u2.data(), s.k2.data(), true,
                      local_work);
            std::swap(s.u, u2);
            std::swap(s.k, s.k2);
            // folds back in the sweep's own ray order
            int8_t* out = folds + L.cell0[k];
            int64_t valid = 0, lost = 0;
            for (int64_t p = 0; p < nray; ++p) {
                const int64_t row = static_cast<int64_t>(order[p]) * gates;
                const int8_t* kp = s.k.data() + p * gates;
                if (gates > 0) // an empty sweep's scratch has no buffer to copy from
                    std::memcpy(out + row, kp, static_cast<size_t>(gates));
                const float* vin = vk + row;
                for (int64_t j = 0; j < gates; ++j)
                    if (!std::isnan(vin[j])) {
                        ++valid;
                        lost += kp[j] == unresolved;
                    }
            }
            counts[k] = valid;
            counts[S + k] = lost;
        }
    };
    guarded_blocks(S, 1, n_threads, body);

    // The dealiased velocities, from each gate's measured value and folds
    // alone (nothing to allocate, nothing to fail).
    auto write = [&](int64_t begin, int64_t end) {
        for (int64_t k = begin; k < end; ++k) {
            const double two_vn = 2.0 * nyquist[k];
            const float* vin = v + L.cell0[k];
            const int8_t* kp = folds + L.cell0[k];
            float* vp = dealiased + L.cell0[k];
            for (int64_t g = 0, cells = L.cell0[k + 1] - L.cell0[k]; g < cells; ++g) {
                const float x = vin[g];
                if (std::isnan(x))
                    vp[g] = x;
                else if (kp[g] == unresolved)
                    vp[g] = std::numeric_limits<float>::quiet_NaN();
                else
                    vp[g] = kp[g] == 0
                        ? x
                        : static_cast<float>(static_cast<double>(x) + two_vn * kp[g]);
            }
        }
    };
    kestrin::parallel_blocks(S, 1, n_threads, write);
}

} // namespace

py::tuple dealias_py(f32array velocity, iarray rays, iarray gates, farray azimuth, farray height,
                     farray cos_el, farray nyquist, farray reference, py::array out_arg,
                     int32_t n_threads)
{
    // out is taken as it is: a converted copy would receive the result and be thrown away
    if (!py::isinstance<f32out>(out_arg))
        throw py::type_error("out must be a C-contiguous float32 array (it receives the result)");
    auto out = py::reinterpret_borrow<f32out>(out_arg);
    const int64_t S = rays.size();
    if (velocity.ndim() != 1)
        throw std::invalid_argument("velocity must be 1-D");
    if (out.ndim() != 1 || out.size() != velocity.size())
        throw std::invalid_argument("out must be 1-D with the size of velocity");
    if (!out.writeable())
        throw std::invalid_argument("out must be writeable");
    if (gates.size() != S || nyquist.size() != S || S > std::numeric_limits<int32_t>::max())
        throw std::invalid_argument(
            "rays, gates and nyquist must have one value per sweep (below 2^31 sweeps)");
    volume_layout L;
    L.sweeps = S;
    L.rays = rays.data();
    L.gates = gates.data();
    L.ray0.assign(static_cast<size_t>(S + 1), 0);
    L.gate0 = L.ray0;
    L.cell0 = L.ray0;
    // Counts below 2^31 over fewer than 2^31 sweeps: the totals cannot overflow.
    constexpr int64_t most = std::numeric_limits<int32_t>::max();
    for (int64_t k = 0; k < S; ++k) {
        const int64_t n = L.rays[k], m = L.gates[k];
        if (n < 0 || m < 0 || n > most || m > most || n * m > most)
            throw std::invalid_argument(
                "rays and gates must be >= 0 and below 2^31, and a sweep below 2^31 gates");
        if (!(std::isfinite(nyquist.data()[k]) && nyquist.data()[k] > 0))
            throw std::invalid_argument("nyquist must be positive");
        L.ray0[k + 1] = L.ray0[k] + n;
        L.gate0[k + 1] = L.gate0[k] + m;
        L.cell0[k + 1] = L.cell0[k] + n * m;
    }
    if (velocity.size() != L.cell0[S])
        throw std::invalid_argument("velocity must hold rays x gates values of every sweep");
    if (azimuth.size() != L.ray0[S])
        throw std::invalid_argument("azimuth must hold one value per ray of every sweep");
    if (height.size() != L.gate0[S] || cos_el.size() != L.gate0[S])
        throw std::invalid_argument(
            "height and cos_el must hold one value per gate of every sweep");
    const double* az = azimuth.data();
    for (int64_t i = 0; i < L.ray0[S]; ++i)
        if (!std::isfinite(az[i]))
            throw std::invalid_argument("azimuth must be finite");
    for (int64_t i = 0; i < L.gate0[S]; ++i)
        if (height.data()[i] >= max_height)
            throw std::invalid_argument("height must be below 1e8 m (above the radar)");
    // out is written while the inputs are read: it may be velocity's own buffer
    // (each gate is written from its own value), never part of another input
    const auto overlaps = [&out](const py::array& a) {
        const auto o = reinterpret_cast<uintptr_t>(out.data());
        const auto p = reinterpret_cast<uintptr_t>(a.data());
        return a.nbytes() > 0 && out.nbytes() > 0 && o < p + static_cast<uintptr_t>(a.nbytes())
            && p < o + static_cast<uintptr_t>(out.nbytes());
    };
    if (out.data() != velocity.data() && overlaps(velocity))
        throw std::invalid_argument("out must be velocity itself or not overlap it");
    const std::pair<const py::array*, const char*> others[] = {
        {&rays, "rays"},     {&gates, "gates"},     {&azimuth, "azimuth"},    {&height, "height"},
        {&cos_el, "cos_el"}, {&nyquist, "nyquist"}, {&reference, "reference"}};
    for (const auto& [a, name] : others)
        if (overlaps(*a))
            throw std::invalid_argument(std::string("out must not overlap ") + name);
    profile given;
    const bool has_reference = reference.size() > 0;
    if (has_reference) {
        if (reference.ndim() != 2 || reference.shape(0) != 3 || reference.shape(1) < 1)
            throw std::invalid_argument("reference must be (3, levels): height, u, v");
        const int64_t m = reference.shape(1);
        const double* R = reference.data();
        for (int64_t i = 0; i < m; ++i) {
            if (!(std::isfinite(R[i]) && std::isfinite(R[m + i]) && std::isfinite(R[2 * m + i])))
                throw std::invalid_argument("reference must be finite");
            if (i > 0 && !(R[i] > R[i - 1]))
                throw std::invalid_argument("reference heights must increase");
        }
        double top = 0.0;
        for (int64_t i = 0; i < L.gate0[S]; ++i)
            if (std::isfinite(height.data()[i]))
                top = std::max(top, height.data()[i]);
        const int64_t bins = std::max<int64_t>(1, static_cast<int64_t>(top / bin_height) + 1);
        given.bins = bins;
        given.u.resize(static_cast<size_t>(bins));
        given.v = given.u;
        given.rms.assign(static_cast<size_t>(bins), std::numeric_limits<double>::quiet_NaN());
        given.n.assign(static_cast<size_t>(bins), 0.0);
        given.fitted.assign(static_cast<size_t>(bins), 0);
        for (int64_t b = 0; b < bins; ++b) {
            const double h = (static_cast<double>(b) + 0.5) * bin_height;
            const double* z = R;
            given.fitted[b] = h >= z[0] - 500.0 && h <= z[m - 1] + 500.0;
            const int64_t i = std::upper_bound(z, z + m, h) - z;
            if (i == 0 || i == m) {
                const int64_t e = i == 0 ? 0 : m - 1;
                given.u[b] = R[m + e];
                given.v[b] = R[2 * m + e];
            } else {
                const double f = (h - z[i - 1]) / (z[i] - z[i - 1]);
                given.u[b] = R[m + i - 1] + f * (R[m + i] - R[m + i - 1]);
                given.v[b] = R[2 * m + i - 1] + f * (R[2 * m + i] - R[2 * m + i - 1]);
            }
        }
    }

    py::array_t<int8_t> folds(L.cell0[S]);
    py::array_t<int64_t> counts({int64_t{2}, S});
    profile prof;
    {
        const float* V = velocity.data();
        float* D = out.mutable_data(); // may be V's own buffer
        int64_t* C2 = counts.mutable_data();
        const double* H = height.data();
        const double* C = cos_el.data();
        const double* N = nyquist.data();
        int8_t* F = folds.mutable_data();
        py::gil_scoped_release unlocked; // the workers only touch the raw buffers above
        L.order.resize(static_cast<size_t>(L.ray0[S]));
        L.az.resize(L.order.size());
        L.linked.resize(L.order.size());
        L.partner.resize(L.order.size());
        L.gx.resize(L.order.size());
        L.gy.resize(L.order.size());
        for (int64_t k = 0; k < S; ++k) {
            const int64_t o = L.ray0[k];
            sweep_azimuths(az + o, L.rays[k], L.order.data() + o, L.az.data() + o,
                           L.linked.data() + o, L.partner.data() + o, L.gx.data() + o,
                           L.gy.data() + o);
        }
        dealias(V, D, L, H, C, N, has_reference ? &given : nullptr, n_threads, F, C2, prof);
    }
    py::array_t<double> table({int64_t{4}, prof.bins});
    double* t = table.mutable_data();
    for (int64_t b = 0; b < prof.bins; ++b) {
        t[b] = (static_cast<double>(b) + 0.5) * bin_height;
        t[prof.bins + b] = prof.u[b];
        t[2 * prof.bins + b] = prof.v[b];
        t[3 * prof.bins + b] = prof.n[b];
    }
    return py::make_tuple(folds, table, counts);
}

} // namespace polar
