// Each float becomes the decimal its shortest round-trip text denotes (a
// 96-bit mantissa with 0..28 fraction digits), the two decimals are combined
// exactly, and the result is read back as the nearest double. The text forms
// are the contract: the conversions go through std::to_chars/from_chars,
// which give the shortest round-trip digits and correct rounding.
#include "decimal.hpp"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <system_error>

#include "../helpers/errors.hpp"

namespace korva::statistical {
namespace {

using u128 = unsigned __int128;

constexpr unsigned kMaxScale = 28;
constexpr u128 kMaxMantissa = (u128{1} << 96) - 1;

struct Decimal {
    u128 mantissa = 0;  // < 2^96
    unsigned scale = 0;  // fraction digits, 0..28, trailing zeros kept
    bool negative = false;  // never set on a zero mantissa
};

// Shortest round-trip text in plain positional notation: 0.1, 1, 0.0000001,
// a 1 and 21 zeros for 1e21, -0 for -0.0; NaN and infinities as words.
std::string positional(double v) {
    if (std::isnan(v)) return "NaN";
    if (std::isinf(v)) return v < 0 ? "-inf" : "inf";
    char buf[64];
    // Scientific form gives the shortest digits and the exponent; they are
    // then laid out with zeros, never the exact binary value's extra digits.
    const auto res = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific);
    const std::string_view sci(buf, static_cast<std::size_t>(res.ptr - buf));
    std::string out;
    std::size_t i = 0;
    if (sci[0] == '-') {
        out += '-';
        i = 1;
    }
    const std::size_t e_pos = sci.find('e');
    std::string digits;
    for (std::size_t j = i; j < e_pos; ++j) {
        if (sci[j] != '.') digits += sci[j];
    }
    const int exp10 = std::atoi(std::string(sci.substr(e_pos + 1)).c_str());
    // The value is 0.d1d2...dk x 10^(exp10 + 1): the point sits after
    // `point` digits.
    const long point = static_cast<long>(exp10) + 1;
    const long k = static_cast<long>(digits.size());
    if (point <= 0) {
        out += "0.";
        out.append(static_cast<std::size_t>(-point), '0');
        out += digits;
    } else if (point >= k) {
        out += digits;
        out.append(static_cast<std::size_t>(point - k), '0');
    } else {
        out.append(digits, 0, static_cast<std::size_t>(point));
        out += '.';
        out.append(digits, static_cast<std::size_t>(point));
    }
    return out;
}

// Parses [-]digits[.digits] into a decimal; throws the parse message.
Decimal parse_decimal(const std::string& text) {
    Decimal d;
    std::size_t i = 0;
    bool negative = false;
    if (i < text.size() && text[i] == '-') {
        negative = true;
        ++i;
    }
    auto digit = [&](char ch) {
        if (ch < '0' || ch > '9') throw ValueError("Invalid decimal: unknown character");
        return static_cast<unsigned>(ch - '0');
    };
    for (; i < text.size() && text[i] != '.'; ++i) {
        const u128 next = d.mantissa * 10 + digit(text[i]);
        if (next > kMaxMantissa) throw ValueError("Invalid decimal: overflow from too many digits");
        d.mantissa = next;
    }
    if (i < text.size()) ++i;  // the point
    for (; i < text.size(); ++i) {
        const unsigned dg = digit(text[i]);
        const u128 next = d.mantissa * 10 + dg;
        if (d.scale < kMaxScale && next <= kMaxMantissa) {
            d.mantissa = next;
            ++d.scale;
            continue;
        }
        // The first digit that does not fit decides alone (no sticky digits).
        if (dg >= 5) {
            if (d.mantissa == kMaxMantissa) {
                if (d.scale == 0) throw ValueError("Invalid decimal: overflow from mantissa after rounding");
                --d.scale;
                d.mantissa = u128{7922816251426433759ULL} * 1000000000ULL + 354395034ULL;  // 2^96 / 10, up
            } else {
                ++d.mantissa;
            }
        }
        for (++i; i < text.size(); ++i) digit(text[i]);  // the rest only has to be digits
        break;
    }
    d.negative = negative && d.mantissa != 0;
    return d;
}

// Unsigned 192-bit integer: room for a 96-bit mantissa raised by 10^28 and
// the sum of two such.
struct U192 {
    std::uint64_t w[3] = {0, 0, 0};

    static U192 from(u128 v) {
        U192 r;
        r.w[0] = static_cast<std::uint64_t>(v);
        r.w[1] = static_cast<std::uint64_t>(v >> 64);
        return r;
    }
    void mul10() {
        u128 carry = 0;
        for (auto& limb : w) {
            const u128 t = u128{limb} * 10 + carry;
            limb = static_cast<std::uint64_t>(t);
            carry = t >> 64;
        }
    }
    unsigned divmod10() {
        u128 rem = 0;
        for (int j = 2; j >= 0; --j) {
            const u128 cur = (rem << 64) | w[j];
            w[j] = static_cast<std::uint64_t>(cur / 10);
            rem = cur % 10;
        }
        return static_cast<unsigned>(rem);
    }
    bool fits96() const { return w[2] == 0 && (w[1] >> 32) == 0; }
    u128 low128() const { return (u128{w[1]} << 64) | w[0]; }
    bool odd() const { return (w[0] & 1) != 0; }
    void increment() {
        for (auto& limb : w) {
            if (++limb != 0) break;
        }
    }
    friend bool operator<(const U192& a, const U192& b) {
        for (int j = 2; j >= 0; --j) {
            if (a.w[j] != b.w[j]) return a.w[j] < b.w[j];
        }
        return false;
    }
    friend U192 operator+(const U192& a, const U192& b) {
        U192 r;
        std::uint64_t carry = 0;
        for (int j = 0; j < 3; ++j) {
            const u128 t = u128{a.w[j]} + b.w[j] + carry;
            r.w[j] = static_cast<std::uint64_t>(t);
            carry = static_cast<std::uint64_t>(t >> 64);
        }
        return r;
    }
    friend U192 operator-(const U192& a, const U192& b) {  // a >= b
        U192 r;
        std::uint64_t borrow = 0;
        for (int j = 0; j < 3; ++j) {
            const std::uint64_t t = a.w[j] - b.w[j] - borrow;
            borrow = (a.w[j] < b.w[j] || (a.w[j] == b.w[j] && borrow)) ? 1 : 0;
            r.w[j] = t;
        }
        return r;
    }
};

// Exact a + b (b already negated for a subtraction), then reduced to 96 bits
// by dropping the fewest fraction digits, rounded once, ties to even.
Decimal combine(const Decimal& a, const Decimal& b, const char* overflow) {
    const unsigned scale = a.scale > b.scale ? a.scale : b.scale;
    U192 x = U192::from(a.mantissa), y = U192::from(b.mantissa);
    for (unsigned s = a.scale; s < scale; ++s) x.mul10();
    for (unsigned s = b.scale; s < scale; ++s) y.mul10();

    U192 r;
    bool negative;
    if (a.negative == b.negative) {
        r = x + y;
        negative = a.negative;
    } else if (y < x) {
        r = x - y;
        negative = a.negative;
    } else {
        r = y - x;
        negative = b.negative;
    }

    Decimal out;
    if (r.fits96()) {
        out.mantissa = r.low128();
        out.scale = scale;
    } else {
        // After k divisions: r = floor(exact / 10^k), `first` is the most
        // significant dropped digit and `sticky` tells whether any digit
        // below it was non-zero.
        unsigned first = 0;
        bool sticky = false, done = false;
        for (unsigned k = 1; k <= scale; ++k) {
            sticky = sticky || first != 0;
            first = r.divmod10();
            U192 q = r;
            if (first > 5 || (first == 5 && (sticky || q.odd()))) q.increment();
            if (q.fits96()) {
                out.mantissa = q.low128();
                out.scale = scale - k;
                done = true;
                break;
            }
        }
        if (!done) throw InternalError(overflow);
    }
    out.negative = negative && out.mantissa != 0;
    return out;
}

std::string to_text(const Decimal& d) {
    std::string digits;
    u128 m = d.mantissa;
    do {
        digits.insert(digits.begin(), static_cast<char>('0' + static_cast<unsigned>(m % 10)));
        m /= 10;
    } while (m != 0);
    if (digits.size() <= d.scale) digits.insert(0, d.scale + 1 - digits.size(), '0');
    if (d.scale > 0) digits.insert(digits.size() - d.scale, 1, '.');
    return d.negative ? "-" + digits : digits;
}

double to_double(const std::string& text) {
    double v = 0.0;
    const auto res = std::from_chars(text.data(), text.data() + text.size(), v);
    if (res.ec != std::errc() || res.ptr != text.data() + text.size()) {
        const std::string why =
            res.ec == std::errc::result_out_of_range ? "number out of range" : "invalid float literal";
        throw ValueError("Result conversion error: " + why);
    }
    return v;
}

Decimal operand(double v, const char* which) {
    try {
        return parse_decimal(positional(v));
    } catch (const ValueError& e) {
        throw ValueError(std::string("Invalid ") + which + ": " + e.what());
    }
}

double apply(double float1, double float2, bool subtract) {
    const Decimal a = operand(float1, "float1");
    Decimal b = operand(float2, "float2");
    if (subtract && b.mantissa != 0) b.negative = !b.negative;
    return to_double(to_text(combine(a, b, subtract ? "Subtraction overflowed" : "Addition overflowed")));
}

}  // namespace

double sum_floats(double float1, double float2) { return apply(float1, float2, false); }

double subtract_floats(double float1, double float2) { return apply(float1, float2, true); }

}  // namespace korva::statistical
