#include "ExactSum.h"

#include <cstring>
#include <limits>

namespace qvl3d {

namespace {

constexpr uint64_t kLimbMask = 0xFFFFFFFFu;
constexpr int64_t kLimbBase = int64_t(1) << CExactSum::kLimbBits;
constexpr int kFiniteLimbs = CExactSum::kLimbs - 1; // 0..65: the bits of the finite doubles

// Carries limbs first..last (last <= 65) into [0, 2^32), the rest, with its
// sign, into limb last + 1. The value sum(limb[k] * 2^(32k)) does not change.
void Carry(int64_t* limb, int first, int last)
{
    int64_t carry = 0;
    for (int k = first; k <= last; ++k) {
        const int64_t v = limb[k] + carry;
        const int64_t low = static_cast<int64_t>(static_cast<uint64_t>(v) & kLimbMask);
        carry = (v - low) / kLimbBase; // exact: v - low is a multiple of 2^32
        limb[k] = low;
    }
    limb[last + 1] += carry;
}

int BitLength(uint64_t v)
{
#if defined(__GNUC__)
    return v == 0 ? 0 : 64 - __builtin_clzll(v);
#else
    int n = 0;
    for (; v != 0; v >>= 1) ++n;
    return n;
#endif
}

double FromBits(uint64_t bits)
{
    double d;
    std::memcpy(&d, &bits, sizeof d);
    return d;
}

constexpr uint64_t kSignBit = uint64_t(1) << 63;
constexpr uint64_t kInfBits = uint64_t(0x7FF) << 52;

} // namespace

void CExactSum::Clear()
{
    for (int64_t& w : m_words) w = 0;
    m_pending = 0;
}

void CExactSum::Add(double x)
{
    uint64_t bits;
    std::memcpy(&bits, &x, sizeof bits);
    const bool negative = (bits & kSignBit) != 0;
    const int biased = static_cast<int>((bits >> 52) & 0x7FF);
    const uint64_t fraction = bits & ((uint64_t(1) << 52) - 1);
    m_words[kTerms] += 1;
    if (biased == 0x7FF) {
        m_words[fraction != 0 ? kNaNs : negative ? kNegInfs : kPosInfs] += 1;
        return;
    }
    if (biased == 0 && fraction == 0) {
        if (negative) m_words[kNegZeros] += 1;
        return;
    }
    if (m_pending >= kMaxPending) Normalise();
    m_pending += 1;

    // x = m * 2^(s - 1074) with the integer significand m below 2^53.
    const uint64_t m = biased != 0 ? fraction | (uint64_t(1) << 52) : fraction;
    const int s = biased != 0 ? biased - 1 : 0;
    const int k = s / kLimbBits, offset = s % kLimbBits;
    const int64_t chunk0 = static_cast<int64_t>((m << offset) & kLimbMask);
    const int64_t chunk1 = static_cast<int64_t>((m >> (kLimbBits - offset)) & kLimbMask);
    const int64_t chunk2 = offset != 0 ? static_cast<int64_t>(m >> (2 * kLimbBits - offset)) : 0;
    // The top bit s + 52 is at most 2097, in limb 65: k + 2 <= 65.
    if (negative) {
        m_words[k] -= chunk0;
        m_words[k + 1] -= chunk1;
        m_words[k + 2] -= chunk2;
    } else {
        m_words[k] += chunk0;
        m_words[k + 1] += chunk1;
        m_words[k + 2] += chunk2;
    }
}

void CExactSum::Merge(const CExactSum& other)
{
    if (m_pending + other.m_pending > kMaxPending) Normalise();
    for (int w = 0; w < kWords; ++w) m_words[w] += other.m_words[w];
    m_pending += other.m_pending;
}

void CExactSum::Normalise()
{
    Carry(m_words, 0, kFiniteLimbs - 1);
    m_pending = 1; // the limbs now hold no more than one term's chunks
}

double CExactSum::Round()
{
    if (m_words[kNaNs] != 0 || (m_words[kPosInfs] != 0 && m_words[kNegInfs] != 0))
        return std::numeric_limits<double>::quiet_NaN();
    if (m_words[kPosInfs] != 0) return std::numeric_limits<double>::infinity();
    if (m_words[kNegInfs] != 0) return -std::numeric_limits<double>::infinity();

    // Only the limbs from the lowest to the highest non-zero one take part.
    int lo = 0, hi = kLimbs - 1;
    while (lo < kLimbs && m_words[lo] == 0) ++lo;
    while (hi > lo && m_words[hi] == 0) --hi;
    const int last = hi < kFiniteLimbs ? hi : kFiniteLimbs - 1;
    if (lo <= last) Carry(m_words, lo, last); // limbs above last + 1 are zero: normalised as a whole
    m_pending = 1;

    // The magnitude: a negative sum is negated, on the stack, and carried again.
    int64_t negated[kLimbs];
    const int64_t* mag = m_words;
    const bool negative = lo < kLimbs && m_words[last + 1] < 0;
    if (negative) {
        for (int k = lo; k <= last + 1; ++k) negated[k] = -m_words[k];
        Carry(negated, lo, last);
        mag = negated;
    }
    const uint64_t sign = negative ? kSignBit : 0;

    int top = lo < kLimbs ? last + 1 : -1;
    while (top >= lo && mag[top] == 0) --top;
    if (top < lo) { // an exact zero: -0.0 only when every term was -0.0
        const bool allNegZero = m_words[kTerms] > 0 && m_words[kNegZeros] == m_words[kTerms];
        return allNegZero ? -0.0 : 0.0;
    }
    if (top >= kFiniteLimbs) return FromBits(sign | kInfBits);
    const auto limb = [&](int k) { return k >= lo ? static_cast<uint64_t>(mag[k]) : uint64_t(0); };
    const int nb = BitLength(limb(top));
    const int topBit = kLimbBits * top + nb - 1; // the value is below 2^(topBit + 1 - 1074)
    if (topBit >= 2098) return FromBits(sign | kInfBits);
    if (topBit < 52) return FromBits(sign | limb(0) | (limb(1) << kLimbBits)); // a subnormal, exact

    // The 64 bits from the top one down, then round to 53 with the bits below.
    const uint64_t window = (limb(top) << (64 - nb)) | (limb(top - 1) << (kLimbBits - nb)) | (limb(top - 2) >> nb);
    bool sticky = (window & 0x3FF) != 0 || (limb(top - 2) & ((uint64_t(1) << nb) - 1)) != 0;
    for (int k = top - 3; k >= lo && !sticky; --k) sticky = mag[k] != 0;
    const uint64_t significand = window >> 11; // bit 52 set
    const bool guard = ((window >> 10) & 1) != 0;
    const uint64_t biased = static_cast<uint64_t>(topBit - 51);
    uint64_t bits = (biased << 52) + (significand - (uint64_t(1) << 52));
    if (guard && (sticky || (significand & 1) != 0)) bits += 1; // a carry may reach the exponent, or infinity
    return FromBits(sign | bits);
}

} // namespace qvl3d
