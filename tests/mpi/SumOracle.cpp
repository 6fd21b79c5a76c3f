#include "SumOracle.h"

#include <cmath>
#include <cstdint>

namespace qvl3d {
namespace test {

namespace {

// Unsigned integer in base 2^16, least significant digit first; the unit is
// 2^-1074, so every finite double is an integer here.
using CBig = std::vector<uint32_t>;
constexpr int kDigitBits = 16;
constexpr uint32_t kDigitMask = 0xFFFF;
constexpr size_t kDigits = 2200 / kDigitBits + 8; // 2098 bits and room for many terms

// a += 2^p
void AddPowerOfTwo(CBig& a, long p)
{
    size_t d = static_cast<size_t>(p / kDigitBits);
    uint32_t add = 1u << (p % kDigitBits);
    for (; add != 0; ++d) {
        const uint32_t v = a.at(d) + add;
        a[d] = v & kDigitMask;
        add = v >> kDigitBits;
    }
}

// a += m * 2^shift, one set bit of m at a time.
void AddShifted(CBig& a, uint64_t m, int shift)
{
    for (int i = 0; i < 64; ++i)
        if ((m >> i) & 1u) AddPowerOfTwo(a, shift + i);
}

bool Less(const CBig& a, const CBig& b)
{
    for (size_t d = a.size(); d-- > 0;)
        if (a[d] != b[d]) return a[d] < b[d];
    return false;
}

CBig Subtract(const CBig& a, const CBig& b) // a >= b
{
    CBig r(a.size(), 0);
    int64_t borrow = 0;
    for (size_t d = 0; d < a.size(); ++d) {
        int64_t v = static_cast<int64_t>(a[d]) - b[d] - borrow;
        borrow = v < 0 ? 1 : 0;
        if (v < 0) v += int64_t(1) << kDigitBits;
        r[d] = static_cast<uint32_t>(v);
    }
    return r;
}

bool Bit(const CBig& a, long i)
{
    if (i < 0) return false;
    return ((a[static_cast<size_t>(i / kDigitBits)] >> (i % kDigitBits)) & 1u) != 0;
}

} // namespace

double OracleSum(const std::vector<double>& terms)
{
    bool allFiniteZero = true, anyNonFinite = false;
    for (double t : terms) {
        anyNonFinite = anyNonFinite || !std::isfinite(t);
        allFiniteZero = allFiniteZero && t == 0.0;
    }
    if (anyNonFinite || allFiniteZero) {
        if (terms.empty()) return 0.0;
        double s = terms[0]; // IEEE addition decides NaN, infinities and the sign of zero
        for (size_t i = 1; i < terms.size(); ++i) s = s + terms[i];
        return s;
    }

    CBig pos(kDigits, 0), neg(kDigits, 0);
    for (double t : terms) {
        if (t == 0.0) continue;
        int e = 0;
        const double f = std::frexp(std::fabs(t), &e); // |t| = f * 2^e, f in [0.5, 1)
        uint64_t m = static_cast<uint64_t>(std::ldexp(f, 53));
        int shift = e - 53 + 1074; // |t| = m * 2^(shift - 1074)
        while (shift < 0) {        // subnormals: the low bits of m are zeros
            m >>= 1;
            ++shift;
        }
        AddShifted(t > 0 ? pos : neg, m, shift);
    }
    const bool negative = Less(pos, neg);
    const CBig mag = negative ? Subtract(neg, pos) : Subtract(pos, neg);

    long top = static_cast<long>(kDigits * kDigitBits) - 1;
    while (top >= 0 && !Bit(mag, top)) --top;
    if (top < 0) return 0.0; // the exact sum of non-zero terms is zero: +0 under round to nearest

    // The last bit kept: 53 significant bits, but never below 2^-1074.
    const long low = top - 52 > 0 ? top - 52 : 0;
    double significand = 0.0;
    for (long i = top; i >= low; --i) significand = 2.0 * significand + (Bit(mag, i) ? 1.0 : 0.0);
    const bool half = Bit(mag, low - 1);
    bool below = false;
    for (long i = low - 2; i >= 0 && !below; --i) below = Bit(mag, i);
    if (half && (below || std::fmod(significand, 2.0) == 1.0)) significand += 1.0;
    const double r = std::ldexp(significand, static_cast<int>(low) - 1074); // overflows to inf by itself
    return negative ? -r : r;
}

} // namespace test
} // namespace qvl3d
