// An independent reference for correctly rounded sums: the exact sum of the
// finite terms in signed magnitude (positive and negative terms in two
// unsigned big integers, the smaller subtracted from the larger), rounded bit
// by bit and built with std::ldexp. Terms that are not finite, and all-zero
// sets, are summed with plain IEEE addition, which decides those cases alone.
#ifndef QVL3D_TESTS_SUMORACLE_H
#define QVL3D_TESTS_SUMORACLE_H

#include <vector>

namespace qvl3d {
namespace test {

double OracleSum(const std::vector<double>& terms);

} // namespace test
} // namespace qvl3d

#endif
