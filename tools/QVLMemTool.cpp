#include <qvl3d/QVLMemTool.h>

#include "MemToolUncleared.h"

#include <algorithm>
#include <cstddef>
#include <mutex>
#include <new>

double CQVLMemTool::m_dTotalMem_ = 0.0;

namespace {

// Sizes are formed in 32-bit signed arithmetic, wrapping as two's complement
// (done unsigned, so an overflow is defined behaviour rather than undefined).
std::int32_t Add32(std::int32_t a, std::int32_t b)
{
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(a) + static_cast<std::uint32_t>(b));
}

std::int32_t Mul32(std::int32_t a, std::int32_t b)
{
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(a) * static_cast<std::uint32_t>(b));
}

// Adds count elements of elementSize bytes to the counter. A negative count
// is a request no allocation can serve and adds nothing.
void Count(std::int32_t count, std::size_t elementSize)
{
    if (count <= 0) return;
    static std::mutex lock;
    const double bytes = static_cast<double>(static_cast<std::uint64_t>(count) * elementSize);
    std::lock_guard<std::mutex> guard(lock);
    CQVLMemTool::m_dTotalMem_ += bytes;
}

template <class T>
T* NewArray(std::int32_t n)
{
    if (n < 0) throw std::bad_array_new_length();
    T* p = new T[static_cast<std::size_t>(n)];
    if (p == nullptr) throw CQVLMemError(); // only an allocator that yields null gets here
    return p;
}

template <class T>
T* AllocateVector(std::int32_t nh, bool clear)
{
    const std::int32_t n = Add32(nh, 1);
    Count(n, sizeof(T));
    T* v = NewArray<T>(n);
    if (clear) std::fill_n(v, n, T());
    return v;
}

// Rows 0..R of C + 1 elements each. Counted before anything is allocated; a
// failure part-way releases the rows made so far, then the row array.
template <class T>
T** AllocateMatrix(std::int32_t nrl, std::int32_t nrh, std::int32_t ncl, std::int32_t nch)
{
    const std::int32_t R = std::max(nrl, nrh);
    const std::int32_t C = std::max(ncl, nch);
    const std::int32_t rows = Add32(R, 1);
    const std::int32_t columns = Add32(C, 1);
    if (rows >= 0 && columns >= 0) Count(Mul32(rows, columns), sizeof(T));
    if (R < 1) return nullptr;

    T** m = NewArray<T*>(rows);
    std::int32_t made = 0;
    try {
        for (; made < rows; ++made) m[made] = NewArray<T>(columns);
    } catch (...) {
        for (std::int32_t r = 0; r < made; ++r) delete[] m[r];
        delete[] m;
        throw;
    }
    return m;
}

template <class T>
void FreeVector(T*& v)
{
    if (v == nullptr) return;
    delete[] v;
    v = nullptr;
}

// The rows are those the allocation made from the same bounds: 0..max(nrl, nrh).
template <class T>
void FreeMatrix(T**& m, std::int32_t nrl, std::int32_t nrh)
{
    if (m == nullptr) return;
    const std::int32_t R = std::max(nrl, nrh);
    for (std::int32_t r = 0; r <= R; ++r) delete[] m[r];
    delete[] m;
    m = nullptr;
}

} // namespace

CQVLMemTool::CQVLMemTool() = default;
CQVLMemTool::CQVLMemTool(const CQVLMemTool&) = default;
CQVLMemTool::~CQVLMemTool() = default;

CQVLMemTool& CQVLMemTool::operator=(const CQVLMemTool&)
{
    return *this;
}

bool* CQVLMemTool::bvector(std::int32_t, std::int32_t nh)
{
    return AllocateVector<bool>(nh, false);
}

int* CQVLMemTool::ivector(std::int32_t, std::int32_t nh)
{
    return AllocateVector<int>(nh, true);
}

float* CQVLMemTool::fvector(std::int32_t, std::int32_t nh)
{
    return AllocateVector<float>(nh, true);
}

double* CQVLMemTool::dvector(std::int32_t, std::int32_t nh)
{
    return AllocateVector<double>(nh, true);
}

int** CQVLMemTool::imatrix(std::int32_t nrl, std::int32_t nrh, std::int32_t ncl, std::int32_t nch)
{
    if (nrh == 0) return nullptr; // integer matrices only: nothing counted
    return AllocateMatrix<int>(nrl, nrh, ncl, nch);
}

float** CQVLMemTool::fmatrix(std::int32_t nrl, std::int32_t nrh, std::int32_t ncl, std::int32_t nch)
{
    return AllocateMatrix<float>(nrl, nrh, ncl, nch);
}

double** CQVLMemTool::dmatrix(std::int32_t nrl, std::int32_t nrh, std::int32_t ncl, std::int32_t nch)
{
    return AllocateMatrix<double>(nrl, nrh, ncl, nch);
}

void CQVLMemTool::free_bvector(bool*& v, std::int32_t, std::int32_t)
{
    FreeVector(v);
}

void CQVLMemTool::free_ivector(int*& v, std::int32_t, std::int32_t)
{
    FreeVector(v);
}

void CQVLMemTool::free_fvector(float*& v, std::int32_t, std::int32_t)
{
    FreeVector(v);
}

void CQVLMemTool::free_dvector(double*& v, std::int32_t, std::int32_t)
{
    FreeVector(v);
}

void CQVLMemTool::free_imatrix(int**& m, std::int32_t nrl, std::int32_t nrh, std::int32_t, std::int32_t)
{
    FreeMatrix(m, nrl, nrh);
}

void CQVLMemTool::free_matrix(float**& m, std::int32_t nrl, std::int32_t nrh, std::int32_t, std::int32_t)
{
    FreeMatrix(m, nrl, nrh);
}

void CQVLMemTool::free_dmatrix(double**& m, std::int32_t nrl, std::int32_t nrh, std::int32_t, std::int32_t)
{
    FreeMatrix(m, nrl, nrh);
}

double* qvl3d::tools::UnclearedDoubles(std::int32_t nh)
{
    return AllocateVector<double>(nh, false);
}

int* qvl3d::tools::UnclearedInts(std::int32_t nh)
{
    return AllocateVector<int>(nh, false);
}

double CQVLMemTool::getTotalMem()
{
    return m_dTotalMem_ * 0.0009765625 * 0.0009765625;
}
