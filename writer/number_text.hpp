// Number writers shared by the record formats: decimal integers, "%.16E" and
// "%.*f" text, right-aligned in fixed-width fields. The text is the C
// locale's, whatever locale the host program has set: no conversion here
// reads LC_NUMERIC. Free of Python, so a plain C++ program can compare them
// with the C library.
#pragma once

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <system_error>

namespace marlode {

// Appends text right-aligned in width characters; wider text is appended
// whole, never cut.
inline void put_field(std::string& s, const char* text, size_t len, int32_t width)
{
    if (static_cast<int64_t>(len) < width)
        s.append(static_cast<size_t>(width) - len, ' ');
    s.append(text, len);
}

// v as base-10 text right-aligned in width characters; wider text is written
// whole. std::to_chars is locale-free and writes at most 20 characters for
// any 64-bit value, the most negative and 2^64 - 1 included.
template <class Int> inline void put_int(std::string& s, Int v, int32_t width)
{
    char buf[24];
    const size_t len = static_cast<size_t>(std::to_chars(buf, buf + sizeof buf, v).ptr - buf);
    put_field(s, buf, len, width);
}

inline void put_i(std::string& s, int64_t v, int32_t width)
{
    put_int(s, v, width);
}

// NaN and infinity as the C library's printf writes them (letters upper case
// for E, lower case for f), the sign of a negative NaN included: stored
// files carry these exact words.
inline size_t non_finite_text(char* buf, double x, bool upper)
{
    size_t len = 0;
    if (std::signbit(x))
        buf[len++] = '-';
    std::memcpy(buf + len, std::isnan(x) ? (upper ? "NAN" : "nan") : (upper ? "INF" : "inf"), 3);
    return len + 3;
}

// GCC's 128-bit integer holds every product of a 53-bit significand and a
// power of ten up to 10^22 exactly; __extension__ marks it as deliberate.
__extension__ typedef unsigned __int128 u128;

// 10^0 to 10^22
struct pow10_table {
    u128 v[23];
    constexpr pow10_table() : v()
    {
        u128 p = 1;
        for (auto& x : v) {
            x = p;
            p *= 10;
        }
    }
};
inline constexpr pow10_table pow10_u128{};

inline uint64_t pow10_at(int32_t k) // k <= 19
{
    return static_cast<uint64_t>(pow10_u128.v[k]);
}

// The digits of v, exactly `count` of them with leading zeros, at p.
inline void put_digits(char* p, uint64_t v, int32_t count)
{
    for (int32_t k = count - 1; k >= 0; --k) {
        p[k] = static_cast<char>('0' + v % 10);
        v /= 10;
    }
}

// "%.16E" text of a finite x with 2^-19 <= |x| < 2^64, or of a zero; returns
// its length, or 0 for any other x. Exact: with x = m * 2^e (m an integer
// below 2^53) and 10^k <= |x| < 10^(k+1), the 17 digits are
// m * 2^e * 10^(16-k) rounded to an integer, half to even as printf rounds
// the exact value; in this range that product fits 128-bit integers.
inline size_t scientific_17(char* buf, double x)
{
    uint64_t bits;
    std::memcpy(&bits, &x, sizeof bits);
    const int32_t biased = static_cast<int32_t>((bits >> 52) & 0x7ff);
    const uint64_t m = (bits & ((uint64_t{1} << 52) - 1)) | (biased ? uint64_t{1} << 52 : 0);
    char* p = buf;
    if (bits >> 63)
        *p++ = '-';
    if (m == 0) {
        std::memcpy(p, "0.0000000000000000E+00", 22);
        return static_cast<size_t>(p - buf) + 22;
    }
    const int32_t e = biased - 1075;
    const int32_t log2 = e + 52; // floor(log2 |x|), m being normal here
    if (biased == 0 || log2 < -19 || log2 > 63)
        return 0;
    constexpr uint64_t lo = 10000000000000000;  // 10^16
    constexpr uint64_t hi = 100000000000000000; // 10^17
    int32_t k = (log2 * 1233) >> 12;            // floor(log2 * log10(2)), or one off
    uint64_t q;
    for (;;) {
        if (k <= 16) {
            const u128 v = static_cast<u128>(m) * pow10_u128.v[16 - k];
            if (e >= 0) {
                q = static_cast<uint64_t>(v << e); // an integer below 10^17 times 10^(16-k)
                if ((v << e) >= hi) {
                    ++k;
                    continue;
                }
            } else {
                const u128 whole = v >> -e;
                if (whole >= hi) {
                    ++k;
                    continue;
                }
                q = static_cast<uint64_t>(whole);
                const u128 rest = v - (whole << -e);
                const u128 half = static_cast<u128>(1) << (-e - 1);
                if (rest > half || (rest == half && (q & 1)))
                    ++q;
            }
        } else {
            const uint64_t whole_x = m << e; // |x| < 2^64 is an integer here
            const uint64_t div = pow10_at(k - 16);
            q = whole_x / div;
            if (q >= hi) {
                ++k;
                continue;
            }
            const uint64_t rest = whole_x % div;
            if (rest > div / 2 || (rest == div / 2 && (q & 1)))
                ++q;
        }
        if (q < lo) {
            --k;
            continue;
        }
        break;
    }
    if (q == hi) { // rounded up to the next power of ten
        q = lo;
        ++k;
    }
    p[0] = static_cast<char>('0' + q / lo);
    p[1] = '.';
    put_digits(p + 2, q % lo, 16);
    p[18] = 'E';
    p[19] = k < 0 ? '-' : '+';
    const uint32_t ak = static_cast<uint32_t>(k < 0 ? -k : k);
    put_digits(p + 20, ak, 2);
    return static_cast<size_t>(p - buf) + 22;
}

// "%.*f" text of a finite x with 0 to 9 decimals when |x| * 10^precision,
// rounded, stays below 10^18; returns its length, or 0 when x is outside
// that range. Exact: x = m * 2^e with an integer m below 2^53, so
// x * 10^precision = m * 10^precision / 2^-e is rounded to an integer with
// 128-bit integer arithmetic, half to even as printf rounds the exact value.
inline size_t fixed_small(char* buf, double x, int32_t precision)
{
    uint64_t bits;
    std::memcpy(&bits, &x, sizeof bits);
    const int32_t biased = static_cast<int32_t>((bits >> 52) & 0x7ff);
    uint64_t m = bits & ((uint64_t{1} << 52) - 1);
    int32_t e = -1074;
    if (biased != 0) {
        m |= uint64_t{1} << 52;
        e = biased - 1075;
    }
    const uint64_t scale = pow10_at(precision);
    uint64_t q; // round(|x| * 10^precision)
    if (e >= 0) {
        if (e > 10)
            return 0;
        const u128 v = static_cast<u128>(m << e) * scale;
        if (v >= pow10_at(18))
            return 0;
        q = static_cast<uint64_t>(v);
    } else {
        const u128 v = static_cast<u128>(m) * scale; // < 2^83
        const int32_t shift = -e;
        if (shift >= 128) {
            q = 0; // |x| * 10^precision < 2^83 / 2^128, far below one half
        } else {
            const u128 whole = v >> shift;
            if (whole >= pow10_at(18))
                return 0;
            q = static_cast<uint64_t>(whole);
            const u128 rest = v - (whole << shift);
            const u128 half = static_cast<u128>(1) << (shift - 1);
            if (rest > half || (rest == half && (q & 1)))
                ++q;
        }
    }
    char* p = buf;
    if (bits >> 63)
        *p++ = '-';
    p = std::to_chars(p, p + 20, q / scale).ptr;
    if (precision > 0) {
        *p++ = '.';
        uint64_t frac = q % scale;
        for (int32_t k = precision - 1; k >= 0; --k) {
            p[k] = static_cast<char>('0' + frac % 10);
            frac /= 10;
        }
        p += precision;
    }
    return static_cast<size_t>(p - buf);
}

// x as "%.16E" (17 significant digits, reads back exactly) right-aligned in
// 25 characters; finite values take 22 to 24 of them. Values outside the
// range of scientific_17 go through std::to_chars, which gives printf's
// digits and exponent, correctly rounded, with a lower-case e.
inline void put_e(std::string& s, double x)
{
    char buf[64];
    size_t len = 0;
    if (!std::isfinite(x)) {
        len = non_finite_text(buf, x, true);
    } else {
        len = scientific_17(buf, x);
        if (len == 0) {
            const auto r =
                std::to_chars(buf, buf + sizeof buf, x, std::chars_format::scientific, 16);
            if (r.ec != std::errc())
                throw std::runtime_error("formatting failed");
            len = static_cast<size_t>(r.ptr - buf);
            // "-d.dddddddddddddddde+xx": the exponent letter follows 17 digits and the point
            buf[(buf[0] == '-') + 18] = 'E';
        }
    }
    put_field(s, buf, len, 25);
}

// x as "%.*f" with precision decimals, right-aligned in width characters;
// what fixed_small does not take goes through std::to_chars. At 3 decimals the longest text, that
// of -DBL_MAX, has 314 characters.
inline void put_f(std::string& s, double x, int32_t width, int32_t precision)
{
    char buf[400];
    size_t len = 0;
    if (!std::isfinite(x)) {
        len = non_finite_text(buf, x, false);
    } else {
        if (precision >= 0 && precision <= 9)
            len = fixed_small(buf, x, precision);
        if (len == 0) {
            const auto r =
                std::to_chars(buf, buf + sizeof buf, x, std::chars_format::fixed, precision);
            if (r.ec != std::errc())
                throw std::runtime_error("formatting failed");
            len = static_cast<size_t>(r.ptr - buf);
        }
    }
    put_field(s, buf, len, width);
}

} // namespace marlode
