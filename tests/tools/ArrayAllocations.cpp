#include "ArrayAllocations.h"

#include <dlfcn.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <new>

namespace {

std::atomic<bool> g_watching{false};
std::atomic<std::size_t> g_failFromBytes{SIZE_MAX};
std::atomic<long> g_successesLeft{-1}; // -1: no limit
std::atomic<long> g_made{0};
std::atomic<long> g_released{0};
std::atomic<long> g_failed{0};

template <class Fn>
Fn Next(const char* symbol)
{
    void* f = dlsym(RTLD_NEXT, symbol);
    if (f == nullptr) std::abort();
    return reinterpret_cast<Fn>(f);
}

bool ShouldFail(std::size_t size)
{
    if (size >= g_failFromBytes.load()) return true;
    long left = g_successesLeft.load();
    while (left >= 0) {
        if (left == 0) return true;
        if (g_successesLeft.compare_exchange_weak(left, left - 1)) return false;
    }
    return false;
}

} // namespace

void* operator new[](std::size_t size)
{
    static const auto next = Next<void* (*)(std::size_t)>("_Znam");
    const bool watching = g_watching.load();
    if (watching && ShouldFail(size)) {
        ++g_failed;
        throw std::bad_alloc();
    }
    void* p = next(size);
    if (watching) ++g_made;
    return p;
}

void operator delete[](void* p) noexcept
{
    static const auto next = Next<void (*)(void*)>("_ZdaPv");
    if (p != nullptr && g_watching.load()) ++g_released;
    next(p);
}

void operator delete[](void* p, std::size_t size) noexcept
{
    static const auto next = Next<void (*)(void*, std::size_t)>("_ZdaPvm");
    if (p != nullptr && g_watching.load()) ++g_released;
    next(p, size);
}

namespace qvl3d {
namespace test {

CArrayAllocationWatch::CArrayAllocationWatch()
{
    g_failFromBytes = SIZE_MAX;
    g_successesLeft = -1;
    g_made = 0;
    g_released = 0;
    g_failed = 0;
    g_watching = true;
}

CArrayAllocationWatch::~CArrayAllocationWatch()
{
    g_watching = false;
    g_failFromBytes = SIZE_MAX;
    g_successesLeft = -1;
}

void CArrayAllocationWatch::FailFromBytes(std::size_t bytes)
{
    g_failFromBytes = bytes;
}

void CArrayAllocationWatch::FailAfter(long successes)
{
    g_successesLeft = successes;
}

long CArrayAllocationWatch::Made() const
{
    return g_made.load();
}

long CArrayAllocationWatch::Released() const
{
    return g_released.load();
}

long CArrayAllocationWatch::Failed() const
{
    return g_failed.load();
}

} // namespace test
} // namespace qvl3d
