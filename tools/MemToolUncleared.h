// Vectors from the memory tool's allocation and count, left uncleared: for
// the library's own arrays whose every element is written before it is
// read, where dvector's and ivector's zero fill would be one more pass over
// memory. Counted in CQVLMemTool::m_dTotalMem_ as dvector and ivector count
// (8 and 4 bytes an element) and freed with free_dvector and free_ivector.
// Not exported: a host's vectors come cleared, as the tool documents.
#ifndef QVL3D_TOOLS_MEMTOOLUNCLEARED_H
#define QVL3D_TOOLS_MEMTOOLUNCLEARED_H

#include <cstdint>

namespace qvl3d {
namespace tools {

// Elements 0..nh, uncleared.
double* UnclearedDoubles(std::int32_t nh);
int* UnclearedInts(std::int32_t nh);

} // namespace tools
} // namespace qvl3d

#endif
