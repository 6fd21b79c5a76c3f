// The checks of a halo plan that one rank can make on its own, shared by the
// halo transport and the distributed front door (private to the MPI library).
#ifndef QVL3D_PLANCHECK_H
#define QVL3D_PLANCHECK_H

#include <qvl3d/HaloPlan.h>

#include <string>

namespace qvl3d {
namespace detail {

// The first fault of one rank's plan on its own (cell ranges, neighbour
// ranks within nRanks and listed once, each halo cell filled at most once),
// or an empty string.
std::string HaloPlanFault(const CHaloPlan& plan, int nRanks);

} // namespace detail
} // namespace qvl3d

#endif
