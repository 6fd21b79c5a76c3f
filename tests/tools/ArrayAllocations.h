// Control over the array allocations of this test program, the library's
// included. Global array new and delete are replaced by versions that forward
// to the ones the program would otherwise use (the sanitizers' under
// AddressSanitizer), so nothing changes until a test arms a failure or starts
// counting.
#ifndef QVL3D_TESTS_ARRAYALLOCATIONS_H
#define QVL3D_TESTS_ARRAYALLOCATIONS_H

#include <cstddef>

namespace qvl3d {
namespace test {

// While alive: array allocations are counted, and those the policy picks
// throw std::bad_alloc as an exhausted allocator would.
class CArrayAllocationWatch {
public:
    CArrayAllocationWatch();
    ~CArrayAllocationWatch();
    CArrayAllocationWatch(const CArrayAllocationWatch&) = delete;
    CArrayAllocationWatch& operator=(const CArrayAllocationWatch&) = delete;

    void FailFromBytes(std::size_t bytes); // requests of at least this size fail
    void FailAfter(long successes);        // the allocation after this many successes fails

    long Made() const;     // array allocations that succeeded
    long Released() const; // non-null array deletes
    long Failed() const;   // allocations made to fail
};

} // namespace test
} // namespace qvl3d

#endif
