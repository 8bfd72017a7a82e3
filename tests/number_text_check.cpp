// Built and run by test_number_text.py: put_e and put_f against snprintf in
// the C locale (this program never calls setlocale), byte for byte, on
// values chosen to reach every binade, every rounding boundary the formats
// meet and every non-finite encoding. Prints "checked <count> mismatches
// <count>", then the first mismatches, one per line.
#include "number_text.hpp"

#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

double from_bits(uint64_t b)
{
    double x;
    std::memcpy(&x, &b, sizeof x);
    return x;
}

struct value_set {
    std::vector<double> v;
    // x, its neighbours one step up and down, and all three negated
    void add(double x, bool neighbours = true)
    {
        for (const double y : {x, -x}) {
            v.push_back(y);
            if (neighbours) {
                v.push_back(std::nextafter(y, HUGE_VAL));
                v.push_back(std::nextafter(y, -HUGE_VAL));
            }
        }
    }
};

std::vector<double> values()
{
    std::mt19937_64 rng(20261208);
    value_set s;
    const uint64_t mantissa = (uint64_t{1} << 52) - 1;
    // Every binade, subnormals (biased exponent 0) included: both ends and
    // random mantissas.
    for (uint64_t ex = 0; ex < 2047; ++ex) {
        s.add(from_bits(ex << 52), false);
        s.add(from_bits((ex << 52) | mantissa), false);
        for (int k = 0; k < 200; ++k)
            s.add(from_bits((ex << 52) | (rng() & mantissa)), false);
    }
    // Near every power of ten: the double nearest to it and four steps to
    // either side, where the exponent and the rounding carry change.
    for (int k = -324; k <= 308; ++k) {
        double up = std::pow(10.0, k), down = up;
        s.add(up, false);
        for (int j = 0; j < 4; ++j) {
            s.add(up = std::nextafter(up, HUGE_VAL), false);
            s.add(down = std::nextafter(down, 0.0), false);
        }
    }
    // Exact halves at the 17th significant digit ("%.16E"): 18 significant
    // digits ending in 5. An integer part of 18 - n digits plus odd / 2^n,
    // which has exactly n decimals, the last a 5 ...
    for (int n = 2; n <= 17; ++n) {
        uint64_t lo = 1;
        for (int d = 1; d < 18 - n; ++d)
            lo *= 10;
        const uint64_t hi = std::min(lo * 10, (uint64_t{1} << (53 - n)));
        for (int k = 0; k < 2000; ++k) {
            const uint64_t a = lo + rng() % (hi - lo);
            const uint64_t j = (rng() % (uint64_t{1} << (n - 1))) * 2 + 1;
            s.add(std::ldexp(static_cast<double>((a << n) + j), -n));
        }
    }
    // ... and odd / 2^n alone, 18 significant digits when odd * 5^n has 18.
    for (int n = 18; n <= 25; ++n) {
        double p5 = std::pow(5.0, n);
        const double lo = std::ceil(1e17 / p5), hi = std::min(1e18 / p5, std::ldexp(1.0, n));
        for (int k = 0; k < 2000 && lo < hi; ++k) {
            auto j = static_cast<uint64_t>(
                lo + static_cast<double>(rng() % 1000003) / 1000003.0 * (hi - lo));
            j |= 1;
            if (static_cast<double>(j) * p5 < 1e18)
                s.add(std::ldexp(static_cast<double>(j), -n));
        }
    }
    // Exact halves at p decimals ("%.*f"): integer part plus odd / 2^(p+1),
    // integer parts of every size that leaves the fraction exact.
    for (int p = 0; p <= 9; ++p) {
        const int n = p + 1;
        for (int k = 0; k < 10000; ++k) {
            const int bits = static_cast<int>(rng() % static_cast<uint64_t>(53 - n));
            const uint64_t a = bits ? rng() >> (64 - bits) : 0;
            const uint64_t j = (rng() % (uint64_t{1} << (n - 1))) * 2 + 1;
            s.add(std::ldexp(static_cast<double>((a << n) + j), -n));
        }
    }
    // Decimal data as parsed from text: k / 10^d, and plain uniform values.
    for (int k = 0; k < 100000; ++k) {
        const double d = std::pow(10.0, static_cast<double>(rng() % 5));
        s.add(static_cast<double>(static_cast<int64_t>(rng() % 2000000001) - 1000000000) / d,
              false);
        s.add(std::ldexp(static_cast<double>(rng() >> 11), -53) * 2e5 - 1e5, false);
    }
    // Edges of the format and of the integer range.
    for (const double x : {0.0,
                           DBL_MIN,
                           DBL_MAX,
                           DBL_TRUE_MIN,
                           9007199254740992.0,
                           9007199254740993.0,
                           9007199254740991.0,
                           0.5,
                           1.5,
                           2.5,
                           0.05,
                           0.0005,
                           9.9995,
                           99.95,
                           0.9995,
                           1e15,
                           1e16,
                           1e17,
                           1e18,
                           9.223372036854775807e18,
                           1.8446744073709551615e19,
                           1e-5})
        s.add(x);
    // Non-finite values: infinities and NaNs of both signs, quiet and
    // signalling, with payloads.
    for (const uint64_t payload : {uint64_t{0}, uint64_t{1}, uint64_t{0x12345}, mantissa >> 1}) {
        s.add(from_bits((uint64_t{0x7ff8} << 48) | payload), false);
        if (payload)
            s.add(from_bits((uint64_t{0x7ff} << 52) | payload), false);
    }
    s.add(HUGE_VAL, false);
    return s.v;
}

// snprintf's text right-aligned in width characters, as the writers place it
std::string reference(const char* form, int precision, double x, int width)
{
    char buf[512];
    const int len = precision < 0 ? std::snprintf(buf, sizeof buf, form, x)
                                  : std::snprintf(buf, sizeof buf, form, precision, x);
    std::string s(len < width ? static_cast<size_t>(width - len) : 0, ' ');
    return s + std::string(buf, static_cast<size_t>(len));
}

} // namespace

int main()
{
    long checked = 0, mismatches = 0;
    std::string got;
    auto compare = [&](const char* what, double x, const std::string& want) {
        ++checked;
        if (got == want)
            return;
        if (++mismatches <= 20) {
            uint64_t b;
            std::memcpy(&b, &x, sizeof b);
            std::printf("%s of %a (bits %016llx): got '%s', snprintf '%s'\n", what, x,
                        static_cast<unsigned long long>(b), got.c_str(), want.c_str());
        }
    };
    const std::vector<double> v = values();
    for (size_t i = 0; i < v.size(); ++i) {
        const double x = v[i];
        got.clear();
        marlode::put_e(got, x);
        compare("put_e", x, reference("%.16E", -1, x, 25));
        // The formats' precisions on every value, every other one of 0 to 9
        // on a tenth of them.
        for (const int p : {1, 3, static_cast<int>(i % 10)}) {
            got.clear();
            marlode::put_f(got, x, 12, p);
            compare(("put_f, precision " + std::to_string(p)).c_str(), x,
                    reference("%.*f", p, x, 12));
        }
    }
    std::printf("checked %ld mismatches %ld\n", checked, mismatches);
    return 0;
}
