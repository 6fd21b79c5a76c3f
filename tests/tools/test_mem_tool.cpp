// The memory tool: sizes by upper bounds, the byte counter, clearing, frees,
// and what a failing allocation leaves behind.
#include <qvl3d/QVLMemTool.h>

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <new>
#include <thread>

namespace {

// Global array new and delete are replaced by versions that forward to the
// ones the program would otherwise use (the sanitizers' under
// AddressSanitizer). While a CWatch lives they count, and once its allowed
// successes are spent they throw std::bad_alloc as an exhausted allocator
// would.
std::atomic<bool> g_watching{false};
std::atomic<long> g_successesLeft{-1}; // -1: no limit
std::atomic<long> g_made{0}, g_released{0};

struct CWatch {
    explicit CWatch(long successes = -1)
    {
        g_successesLeft = successes;
        g_made = g_released = 0;
        g_watching = true;
    }
    ~CWatch() { g_watching = false; }
};

template <class Fn>
Fn Next(const char* symbol)
{
    void* f = dlsym(RTLD_NEXT, symbol);
    if (f == nullptr) std::abort();
    return reinterpret_cast<Fn>(f);
}

// Bytes the counter gained while f ran.
template <class F>
double CountedBy(F&& f)
{
    const double before = CQVLMemTool::m_dTotalMem_;
    f();
    return CQVLMemTool::m_dTotalMem_ - before;
}

} // namespace

void* operator new[](std::size_t size)
{
    static const auto next = Next<void* (*)(std::size_t)>("_Znam");
    if (g_watching) {
        if (g_successesLeft == 0) throw std::bad_alloc();
        if (g_successesLeft > 0) --g_successesLeft;
        ++g_made;
    }
    return next(size);
}

void operator delete[](void* p) noexcept
{
    static const auto next = Next<void (*)(void*)>("_ZdaPv");
    if (p != nullptr && g_watching) ++g_released;
    next(p);
}

void operator delete[](void* p, std::size_t size) noexcept
{
    static const auto next = Next<void (*)(void*, std::size_t)>("_ZdaPvm");
    if (p != nullptr && g_watching) ++g_released;
    next(p, size);
}

TEST(MemTool, VectorsSpanZeroToUpperBoundAndNumericOnesAreCleared)
{
    CQVLMemTool::m_dTotalMem_ = 0.0; // as in a fresh process: one megabyte of doubles reads as 1
    double* mb = CQVLMemTool::dvector(1, 131071);
    EXPECT_EQ(CQVLMemTool::getTotalMem(), 1.0);
    int* iv = nullptr;
    float* fv = nullptr;
    double *dv = nullptr, *one = nullptr, *none = nullptr;
    bool* bv = nullptr;
    // nl is not a lower limit: element 0 is always there, up to nh.
    EXPECT_EQ(CountedBy([&] { iv = CQVLMemTool::ivector(5, 9); }), 40.0);
    EXPECT_EQ(CountedBy([&] { fv = CQVLMemTool::fvector(5, 9); }), 40.0);
    EXPECT_EQ(CountedBy([&] { dv = CQVLMemTool::dvector(5, 9); }), 80.0);
    EXPECT_EQ(CountedBy([&] { bv = CQVLMemTool::bvector(5, 9); }), 10.0);
    EXPECT_EQ(CountedBy([&] { one = CQVLMemTool::dvector(1, 0); }), 8.0);
    EXPECT_EQ(CountedBy([&] { none = CQVLMemTool::dvector(1, -1); }), 0.0);
    for (int i = 0; i <= 9; ++i) {
        EXPECT_EQ(iv[i], 0) << i;
        EXPECT_EQ(fv[i], 0.0f) << i;
        EXPECT_EQ(dv[i], 0.0) << i;
        bv[i] = true; // the whole range is ours (the sanitizer build checks the extent)
    }
    EXPECT_EQ(one[0], 0.0);
    EXPECT_NE(none, nullptr); // a real, empty array: the free below must release it
    CQVLMemTool::free_ivector(iv, 5, 9);
    CQVLMemTool::free_fvector(fv, 5, 9);
    CQVLMemTool::free_dvector(dv, 5, 9);
    CQVLMemTool::free_bvector(bv, 5, 9);
    CQVLMemTool::free_dvector(one, 1, 0);
    CQVLMemTool::free_dvector(none, 1, -1);
    CQVLMemTool::free_dvector(mb, 1, 131071);
    EXPECT_TRUE(iv == nullptr && fv == nullptr && dv == nullptr && bv == nullptr && one == nullptr && none == nullptr &&
                mb == nullptr);
    EXPECT_EQ(CQVLMemTool::m_dTotalMem_, 1048576.0 + 178.0); // frees subtract nothing
    CQVLMemTool::free_dvector(mb, 1, 131071);                // second free: nothing to do
}

TEST(MemTool, NegativeElementCountsAreRefusedUncounted)
{
    // nh + 1 below zero, directly or by wrapping at the 32-bit limit.
    const std::int32_t top = std::numeric_limits<std::int32_t>::max();
    EXPECT_EQ(CountedBy([] { EXPECT_THROW(CQVLMemTool::dvector(0, -2), std::bad_array_new_length); }), 0.0);
    EXPECT_EQ(CountedBy([&] { EXPECT_THROW(CQVLMemTool::ivector(0, top), std::bad_array_new_length); }), 0.0);
    EXPECT_EQ(CountedBy([] { EXPECT_THROW(CQVLMemTool::dmatrix(0, 3, -5, -3), std::bad_array_new_length); }), 0.0);
}

TEST(MemTool, MatrixShapesAndCounts)
{
    const CWatch watch; // counts row arrays and rows
    int** im = reinterpret_cast<int**>(1);
    EXPECT_EQ(CountedBy([&] { im = CQVLMemTool::imatrix(1, 0, 1, 5); }), 0.0);
    EXPECT_EQ(im, nullptr);

    float** fm = nullptr;
    EXPECT_EQ(CountedBy([&] { fm = CQVLMemTool::fmatrix(1, 0, 1, 5); }), 48.0); // rows 0..1, columns 0..5
    ASSERT_NE(fm, nullptr);
    for (int r = 0; r <= 1; ++r)
        for (int c = 0; c <= 5; ++c) fm[r][c] = 1.0f;

    float** single = reinterpret_cast<float**>(1);
    EXPECT_EQ(CountedBy([&] { single = CQVLMemTool::fmatrix(0, 0, 0, 5); }), 24.0); // counted, yet null
    EXPECT_EQ(single, nullptr);

    double** dm = nullptr;
    EXPECT_EQ(CountedBy([&] { dm = CQVLMemTool::dmatrix(1, 3, 1, 4); }), 160.0); // row pointers not counted
    ASSERT_NE(dm, nullptr);
    for (int r = 0; r <= 3; ++r)
        for (int c = 0; c <= 4; ++c) dm[r][c] = r * 10.0 + c;
    EXPECT_EQ(dm[3][4], 34.0);
    EXPECT_NE(dm[0], dm[1]); // each row its own allocation

    int** im2 = nullptr;
    EXPECT_EQ(CountedBy([&] { im2 = CQVLMemTool::imatrix(0, 2, 0, 0); }), 12.0);
    EXPECT_EQ(g_made.load(), 3 + 5 + 4); // row array plus rows, three matrices

    const double before = CQVLMemTool::m_dTotalMem_;
    CQVLMemTool::free_matrix(fm, 1, 0, 1, 5); // rows up to max(nrl, nrh), not just nrh
    CQVLMemTool::free_dmatrix(dm, 1, 3, 1, 4);
    CQVLMemTool::free_imatrix(im2, 0, 2, 0, 0);
    CQVLMemTool::free_imatrix(im, 1, 0, 1, 5); // null: nothing
    EXPECT_TRUE(fm == nullptr && dm == nullptr && im2 == nullptr);
    EXPECT_EQ(g_released.load(), g_made.load());
    EXPECT_EQ(CQVLMemTool::m_dTotalMem_, before);
}

TEST(MemTool, ExhaustedAllocatorPassesItsExceptionThroughCountedOnce)
{
    const CWatch watch(0);
    double* v = nullptr;
    const double vectorBytes = CountedBy([&] { EXPECT_THROW(v = CQVLMemTool::dvector(0, 1 << 20), std::bad_alloc); });
    EXPECT_EQ(vectorBytes, 8.0 * ((1 << 20) + 1));
    EXPECT_EQ(v, nullptr);
}

TEST(MemTool, MatrixFailingPartWayReleasesWhatItMade)
{
    for (long successes = 0; successes <= 5; ++successes) {
        const CWatch watch(successes); // the row array, then rows 0, 1, ... of five
        double** m = nullptr;
        const double bytes = CountedBy([&] { EXPECT_THROW(m = CQVLMemTool::dmatrix(0, 4, 0, 9), std::bad_alloc); });
        EXPECT_EQ(bytes, 400.0) << successes;
        EXPECT_EQ(g_made.load(), successes);
        EXPECT_EQ(g_released.load(), successes) << "rows left behind after " << successes;
        EXPECT_EQ(m, nullptr);
    }
}

TEST(MemTool, ConcurrentAllocationsLoseNoCount)
{
    constexpr int kPerThread = 20000;
    const double bytes = CountedBy([] {
        auto work = [] {
            for (int k = 0; k < kPerThread; ++k) {
                int* v = CQVLMemTool::ivector(0, 0);
                CQVLMemTool::free_ivector(v, 0, 0);
            }
        };
        std::thread a(work), b(work);
        a.join();
        b.join();
    });
    EXPECT_EQ(bytes, 2.0 * kPerThread * 4.0);
}
