// The exact sum of doubles, rounded once: a fixed-point accumulator that
// covers every double, from the smallest subnormal 2^-1074 to the largest
// finite value below 2^1024, with room for the carries of 2^31 terms.
//
// Each term goes in exactly as signed 32-bit chunks, one per int64 limb, so
// two accumulators combine by adding their words one by one. Integer
// addition is associative: the words of a set of terms are the same whatever
// order or tree they were added in, and so is the double Round() makes of
// them, the exact sum rounded to nearest (ties to even). This is what lets a
// global sum be one integer all-reduce (MPI_INT64_T, MPI_SUM) over Words():
// every rank gets the same bits, from run to run, however the ranks are
// ordered.
//
// The values that are not finite, and the sign of a zero, are counted in
// words of their own, and Round() gives what IEEE addition in any order
// gives: NaN when any term is NaN or both infinities occur, an infinity when
// only that one occurs, +/-inf when the rounded exact sum overflows, and for
// an exact sum of zero +0.0, or -0.0 when every term is -0.0. A NaN's sign
// and payload are not kept: Round() returns the one quiet NaN.
//
// No member allocates: the words live in the object.
#ifndef QVL3D_EXACTSUM_H
#define QVL3D_EXACTSUM_H

#include <cstdint>

namespace qvl3d {

class CExactSum {
public:
    // Limb k holds the bits of weight 2^(32k - 1074) .. 2^(32k - 1043). Limbs
    // 0..65 cover the finite doubles; limb 66 takes the carries.
    static constexpr int kLimbs = 67;
    static constexpr int kLimbBits = 32;
    // Counters after the limbs: terms, -0.0 terms, NaNs, +inf, -inf.
    static constexpr int kTerms = kLimbs, kNegZeros = kLimbs + 1, kNaNs = kLimbs + 2, kPosInfs = kLimbs + 3,
                         kNegInfs = kLimbs + 4;
    static constexpr int kWords = kLimbs + 5;
    // At most this many terms are added before the limbs are normalised
    // again: 2^30 chunks below 2^32 each, plus as many from a Merge, stay
    // clear of int64 overflow.
    static constexpr int64_t kMaxPending = int64_t(1) << 30;

    CExactSum() { Clear(); }

    void Clear();
    // Adds x exactly (any double: finite, infinite or NaN).
    void Add(double x);
    // Adds the terms of other, word by word.
    void Merge(const CExactSum& other);
    // The exact sum of the terms, rounded to nearest, ties to even. Carries
    // are normalised in place; the value held does not change.
    double Round();

    // The words, kWords of them, for a word-wise integer all-reduce: the
    // word-wise sum of up to 2^31 accumulators of one term each cannot
    // overflow, and Round() of the result is the rounded sum of all their
    // terms.
    int64_t* Words() { return m_words; }
    const int64_t* Words() const { return m_words; }

private:
    void Normalise();

    int64_t m_words[kWords];
    int64_t m_pending = 0; // terms added since the limbs were last normalised
};

} // namespace qvl3d

#endif
