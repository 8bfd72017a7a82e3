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

// x as "%.16E" (17 significant digits, reads back exactly) right-aligned in
// 25 characters; finite values take 22 to 24 of them. std::to_chars gives
// printf's digits and exponent, correctly rounded, with a lower-case e.
inline void put_e(std::string& s, double x)
{
    char buf[64];
    size_t len;
    if (std::isfinite(x)) {
        const auto r = std::to_chars(buf, buf + sizeof buf, x, std::chars_format::scientific, 16);
        if (r.ec != std::errc())
            throw std::runtime_error("formatting failed");
        len = static_cast<size_t>(r.ptr - buf);
        // "-d.dddddddddddddddde+xx": the exponent letter follows 17 digits and the point
        buf[(buf[0] == '-') + 18] = 'E';
    } else {
        len = non_finite_text(buf, x, true);
    }
    put_field(s, buf, len, 25);
}

constexpr uint64_t pow10_u64[] = {1,
                                  10,
                                  100,
                                  1000,
                                  10000,
                                  100000,
                                  1000000,
                                  10000000,
                                  100000000,
                                  1000000000,
                                  10000000000,
                                  100000000000,
                                  1000000000000,
                                  10000000000000,
                                  100000000000000,
                                  1000000000000000,
                                  10000000000000000,
                                  100000000000000000,
                                  1000000000000000000};

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
    const uint64_t scale = pow10_u64[precision];
    uint64_t q; // round(|x| * 10^precision)
    if (e >= 0) {
        if (e > 10)
            return 0;
        const unsigned __int128 v = static_cast<unsigned __int128>(m << e) * scale;
        if (v >= pow10_u64[18])
            return 0;
        q = static_cast<uint64_t>(v);
    } else {
        const unsigned __int128 v = static_cast<unsigned __int128>(m) * scale; // < 2^83
        const int32_t shift = -e;
        if (shift >= 128) {
            q = 0; // |x| * 10^precision < 2^83 / 2^128, far below one half
        } else {
            const unsigned __int128 whole = v >> shift;
            if (whole >= pow10_u64[18])
                return 0;
            q = static_cast<uint64_t>(whole);
            const unsigned __int128 rest = v - (whole << shift);
            const unsigned __int128 half = static_cast<unsigned __int128>(1) << (shift - 1);
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

// x as "%.*f" with precision decimals, right-aligned in width characters.
// At 3 decimals the longest text, that of -DBL_MAX, has 314 characters.
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
