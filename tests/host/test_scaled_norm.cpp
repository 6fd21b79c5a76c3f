// The scaled norm the front door and qvl3d-solve share: exact where plain
// sums of squares underflow or overflow, 0 only for zeros, and the same when
// parts of a vector are combined, as a partitioned run combines its ranks'.
#include "ScaledNorm.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

using qvl3d::host::CScaledNorm;

namespace {

CScaledNorm NormOf(const std::vector<double>& v, size_t from = 0, size_t to = static_cast<size_t>(-1))
{
    CScaledNorm n;
    for (size_t k = from; k < v.size() && k < to; ++k) n.Add(v[k]);
    return n;
}

// value is norm to a few ulps; NaN and infinity exactly.
::testing::AssertionResult IsNorm(double value, double norm)
{
    const bool holds = std::isnan(norm) ? std::isnan(value)
                       : std::isinf(norm)
                           ? value == norm
                           : std::fabs(value - norm) <= 4 * std::numeric_limits<double>::epsilon() * norm;
    if (holds) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << value << " is not " << norm;
}

} // namespace

TEST(ScaledNorm, HoldsAtBothEndsOfTheRangeAndCombinesParts)
{
    const double inf = std::numeric_limits<double>::infinity(), dmax = std::numeric_limits<double>::max();
    const struct {
        std::vector<double> v;
        double norm; // NaN: NaN expected
    } cases[] = {
        {{1e-170}, 1e-170},
        {{3e-300, -4e-300}, 5e-300},
        {{3e300, 4e300}, 5e300},
        {{1e-320, 0.0}, 1e-320}, // subnormal, and not zero
        {{1e300, 1e-300, 1.0}, 1e300},
        {{0.0, -0.0}, 0.0},
        {{}, 0.0},
        {{dmax, dmax}, inf}, // the norm itself is beyond the range
        {{1.0, -inf, 2.0}, inf},
        {{inf, NAN}, NAN},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.v.empty() ? 0.0 : c.v[0]);
        const CScaledNorm whole = NormOf(c.v);
        EXPECT_TRUE(IsNorm(whole.Value(), c.norm));
        // Every split, combined both ways: Merge, and the largest scale first
        // with the squares over it (what the ranks reduce).
        for (size_t cut = 0; cut <= c.v.size(); ++cut) {
            CScaledNorm merged = NormOf(c.v, 0, cut);
            const CScaledNorm second = NormOf(c.v, cut);
            const double scale = std::max(merged.Scale(), second.Scale());
            const CScaledNorm reduced =
                CScaledNorm::Combined(scale, merged.SquaresOver(scale) + second.SquaresOver(scale),
                                      merged.SawInfinity() || second.SawInfinity(), merged.SawNaN() || second.SawNaN());
            merged.Merge(second);
            for (const CScaledNorm& n : {merged, reduced}) {
                EXPECT_TRUE(IsNorm(n.Value(), c.norm)) << cut;
                EXPECT_EQ(n.Scale(), whole.Scale()) << cut;
            }
        }
    }
    // A ratio of norms whose quotient is in range although neither's square is.
    EXPECT_NEAR(NormOf({3e-300, 4e-300}).Over(NormOf({1e-300})), 5.0, 1e-15);
    EXPECT_NEAR(NormOf({3e300, 4e300}).Over(NormOf({1e300})), 5.0, 1e-15);
    EXPECT_TRUE(std::isnan(NormOf({1.0}).Over(NormOf({0.0}))));
}
