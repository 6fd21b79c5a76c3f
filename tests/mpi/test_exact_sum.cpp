// The exact-sum accumulator behind the MPI sum transport, serially: against
// hand-worked sums, against an independent big-integer reference on random
// sets over the whole double range, and independent of the order and the
// grouping of the terms.
#include "ExactSum.h"
#include "SumOracle.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

using qvl3d::CExactSum;
using qvl3d::test::OracleSum;

namespace {

const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kInf = std::numeric_limits<double>::infinity();
const double kTiny = 0x1p-1074; // the smallest subnormal

uint64_t Bits(double d)
{
    uint64_t b;
    std::memcpy(&b, &d, sizeof b);
    return b;
}

// Equal bits, or both NaN (the NaN's sign and payload are not promised).
bool Same(double a, double b)
{
    return (std::isnan(a) && std::isnan(b)) || Bits(a) == Bits(b);
}

std::string Show(double d)
{
    char text[64];
    std::snprintf(text, sizeof text, "%a", d);
    return text;
}

double Accumulate(const std::vector<double>& terms)
{
    CExactSum acc;
    for (double t : terms) acc.Add(t);
    return acc.Round();
}

// One accumulator per term, combined in a random pairing tree, as an
// all-reduce over ranks would combine them.
double ReduceAsTree(const std::vector<double>& terms, std::mt19937_64& rng)
{
    std::vector<CExactSum> acc(terms.size());
    for (size_t i = 0; i < terms.size(); ++i) acc[i].Add(terms[i]);
    while (acc.size() > 1) {
        const size_t a = rng() % acc.size();
        size_t b = rng() % (acc.size() - 1);
        if (b >= a) ++b;
        acc[a].Merge(acc[b]);
        acc.erase(acc.begin() + static_cast<long>(b));
    }
    return acc.empty() ? CExactSum().Round() : acc[0].Round();
}

struct CCase {
    const char* name;
    std::vector<double> terms;
    double expected; // worked out by hand
};

const std::vector<CCase>& HandCases()
{
    static const std::vector<CCase> cases = {
        {"cancellation of the largest terms", {1e308, 1.0, -1e308}, 1.0},
        {"ones lost next to 1e16 in order", {1e16, 1.0, -1e16, 1.0}, 2.0},
        {"0.1 + 0.2 - 0.3 exactly", {0.1, 0.2, -0.3}, 0x1p-55},
        {"tie rounds down to even", {1.0, 0x1p-53}, 1.0},
        {"tie rounds up to even", {1.0 + 0x1p-52, 0x1p-53}, 1.0 + 0x1p-51},
        {"just above a tie", {1.0, 0x1p-53, kTiny}, 1.0 + 0x1p-52},
        {"tie below a power of two", {1.0, -0x1p-54}, 1.0},
        {"just below that tie", {1.0, -0x1p-54, -kTiny}, 1.0 - 0x1p-53},
        {"negative result, exact", {-1.0, 0x1p-53}, -1.0 + 0x1p-53},
        {"negative tie", {-1.0, -0x1p-53}, -1.0},
        {"two largest overflow", {DBL_MAX, DBL_MAX}, kInf},
        {"overflow cancelled again", {DBL_MAX, DBL_MAX, -DBL_MAX}, DBL_MAX},
        {"tie at the overflow threshold", {DBL_MAX, 0x1p970}, kInf},
        {"below the overflow threshold", {DBL_MAX, 0x1p969}, DBL_MAX},
        {"just below the threshold tie", {DBL_MAX, 0x1p970, -kTiny}, DBL_MAX},
        {"negative overflow", {-DBL_MAX, -0x1p970}, -kInf},
        {"subnormals add exactly", {kTiny, kTiny, kTiny}, 3 * kTiny},
        {"normal minus subnormal", {DBL_MIN, -kTiny}, DBL_MIN - kTiny},
        {"subnormals to a normal", {0x1p-1023, 0x1p-1023}, DBL_MIN},
        {"a single term", {-0x1.23456789abcdep-1050}, -0x1.23456789abcdep-1050},
        {"full significand, top binade", {0x1.fffffffffffffp1023}, DBL_MAX},
        {"NaN among finite terms", {1.0, kNaN, 2.0}, kNaN},
        {"both infinities", {kInf, 1.0, -kInf}, kNaN},
        {"positive infinity", {1e308, kInf, 1e308}, kInf},
        {"negative infinity", {-kInf, 1.0, -kInf}, -kInf},
        {"all -0.0", {-0.0, -0.0, -0.0}, -0.0},
        {"one +0.0 among -0.0", {-0.0, 0.0, -0.0}, 0.0},
        {"cancelling to zero", {-1.0, 1.0}, 0.0},
        {"cancelling to zero with -0.0", {-kTiny, -0.0, kTiny}, 0.0},
        {"-0.0 and a value", {-0.0, -kTiny}, -kTiny},
    };
    return cases;
}

TEST(ExactSum, HandWorkedSumsInEveryOrderAndTheReferenceAgrees)
{
    std::mt19937_64 rng(7);
    for (const CCase& c : HandCases()) {
        std::vector<double> terms = c.terms;
        EXPECT_TRUE(Same(Accumulate(terms), c.expected)) << c.name << ": " << Show(Accumulate(terms));
        EXPECT_TRUE(Same(OracleSum(terms), c.expected)) << c.name << ": reference " << Show(OracleSum(terms));
        std::sort(terms.begin(), terms.end(), [](double a, double b) { return Bits(a) < Bits(b); });
        do {
            EXPECT_TRUE(Same(Accumulate(terms), c.expected)) << c.name << ", permuted";
            EXPECT_TRUE(Same(ReduceAsTree(terms, rng), c.expected)) << c.name << ", as a tree";
        } while (
            std::next_permutation(terms.begin(), terms.end(), [](double a, double b) { return Bits(a) < Bits(b); }));
    }
}

// Random doubles of the kinds that stress the accumulator.
double AnyFinite(std::mt19937_64& rng)
{
    for (;;) {
        const uint64_t b = rng();
        double d;
        std::memcpy(&d, &b, sizeof d);
        if (std::isfinite(d)) return d;
    }
}

double InBand(std::mt19937_64& rng, int lowExponent, int width)
{
    const double m = static_cast<double>(rng() >> 11) * 0x1p-53; // [0, 1), 53 bits
    const int e = lowExponent + static_cast<int>(rng() % static_cast<uint64_t>(width));
    return ((rng() & 1) ? -1.0 : 1.0) * std::ldexp(1.0 + m, e);
}

std::vector<double> RandomSet(std::mt19937_64& rng, int kind)
{
    const size_t n = 1 + rng() % 200;
    std::vector<double> t;
    switch (kind) {
    case 0: // any finite bits: every exponent, subnormals included
        for (size_t i = 0; i < n; ++i) t.push_back(AnyFinite(rng));
        break;
    case 1: // subnormals and the smallest normals
        for (size_t i = 0; i < n; ++i) t.push_back(InBand(rng, -1080, 70));
        break;
    case 2: // a narrow band of exponents: long carries, near-ties
        for (size_t i = 0; i < n; ++i) t.push_back(InBand(rng, -5, 12));
        break;
    case 3: { // pairs that cancel, leaving small terms far below them
        for (size_t i = 0; i < n; ++i) {
            const double big = InBand(rng, 900, 123);
            t.push_back(big);
            t.push_back(-big);
            t.push_back(InBand(rng, -1074, 2000) * 0x1p-60);
        }
        break;
    }
    default: // near the top: sums that overflow or come back below DBL_MAX
        for (size_t i = 0; i < n; ++i) t.push_back(InBand(rng, 1020, 4));
        break;
    }
    std::shuffle(t.begin(), t.end(), rng);
    return t;
}

TEST(ExactSum, RandomSetsMatchTheReferenceInAnyOrderAndGrouping)
{
    const char* kinds[] = {"any finite", "subnormal", "narrow band", "cancelling pairs", "near overflow"};
    std::mt19937_64 rng(20240611);
    for (int kind = 0; kind < 5; ++kind) {
        int failures = 0;
        for (int round = 0; round < 300 && failures < 3; ++round) {
            std::vector<double> terms = RandomSet(rng, kind);
            const double expected = OracleSum(terms);
            const double forward = Accumulate(terms);
            std::reverse(terms.begin(), terms.end());
            const double backward = Accumulate(terms);
            std::shuffle(terms.begin(), terms.end(), rng);
            const double tree = ReduceAsTree(terms, rng);
            const bool ok = Same(forward, expected) && Same(backward, expected) && Same(tree, expected);
            failures += !ok;
            EXPECT_TRUE(ok) << kinds[kind] << ", round " << round << ": reference " << Show(expected) << ", forward "
                            << Show(forward) << ", backward " << Show(backward) << ", tree " << Show(tree);
        }
    }
}

TEST(ExactSum, RepeatedDoublingStaysExactPastTheCarryHeadroom)
{
    // Merging an accumulator with a copy of itself doubles every limb: 40
    // doublings would overflow the int64 limbs unless the carries are
    // normalised in between.
    const struct {
        double x;
        int doublings;
        double expected;
    } cases[] = {
        {0x1.fffffffffffffp0, 60, 0x1.fffffffffffffp60},
        {-0x1.0000000000001p-1022, 60, -0x1.0000000000001p-962},
        {kTiny, 62, 0x1p-1012},
        {0x1.8p1000, 23, 0x1.8p1023},
        {0x1.8p1000, 24, kInf},
        {-DBL_MAX, 30, -kInf},
    };
    for (const auto& c : cases) {
        CExactSum acc;
        acc.Add(c.x);
        for (int k = 0; k < c.doublings; ++k) {
            const CExactSum copy = acc;
            acc.Merge(copy);
        }
        EXPECT_TRUE(Same(acc.Round(), c.expected))
            << Show(c.x) << " doubled " << c.doublings << " times gives " << Show(acc.Round());
    }
}

TEST(ExactSum, RoundKeepsTheValueAndClearEmptiesIt)
{
    CExactSum acc;
    EXPECT_TRUE(Same(acc.Round(), 0.0)); // no terms: +0.0
    acc.Add(-3.0);
    acc.Add(0.5);
    EXPECT_TRUE(Same(acc.Round(), -2.5));
    acc.Add(5.0); // rounding normalised the limbs; adding goes on from the same value
    EXPECT_TRUE(Same(acc.Round(), 2.5));
    acc.Add(-0.0);
    acc.Clear();
    acc.Add(-0.0);
    EXPECT_TRUE(Same(acc.Round(), -0.0));
}

} // namespace
