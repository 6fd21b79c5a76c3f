// CQVLMemTool: numeric vectors and matrices allocated by index bounds, with a
// process-wide count of the bytes handed out.
//
// Bounds are 32-bit signed integers and every size is formed in that
// arithmetic. Only the upper bounds size an array: a vector with bounds
// nl, nh has elements 0..nh and its pointer addresses element 0 (nl is
// accepted and not used). A matrix with row bounds nrl, nrh and column
// bounds ncl, nch has rows 0..R and columns 0..C, R = max(nrl, nrh) and
// C = max(ncl, nch); it is an array of R + 1 row pointers, each row its own
// allocation of C + 1 elements.
//
// m_dTotalMem_ counts the element bytes of every request (row-pointer arrays
// are not counted) before the allocation is made, so a failed request stays
// counted; nothing ever subtracts from it. The element count of a matrix,
// (R + 1) x (C + 1), is formed in 32-bit arithmetic too. A negative element
// count (an upper bound below -1, or one at the 32-bit limit) counts nothing,
// and an allocation it would size is refused with std::bad_array_new_length.
//
// Failures: the standard allocation's std::bad_alloc passes through
// unchanged; an allocation that yields null throws CQVLMemError. A matrix
// that fails part-way releases what it had allocated before the exception
// leaves. Every free nulls the caller's pointer, so a second free does
// nothing. The counter is updated under a lock, so allocations may come from
// several threads; reading m_dTotalMem_ while another thread allocates is
// the caller's race.
#ifndef QVL3D_QVLMEMTOOL_H
#define QVL3D_QVLMEMTOOL_H

#include <qvl3d/QVLExport.h>

#include <cstdint>

// Thrown by value when an allocation yields null; carries nothing.
class QVL3D_EXPORT CQVLMemError {};

class QVL3D_EXPORT CQVLMemTool {
public:
    CQVLMemTool();
    CQVLMemTool(const CQVLMemTool& other);
    virtual ~CQVLMemTool();
    CQVLMemTool& operator=(const CQVLMemTool& other); // nothing to copy

    // Vectors of nh + 1 elements; ivector, fvector and dvector are cleared,
    // bvector is not.
    static bool* bvector(std::int32_t nl, std::int32_t nh);
    static int* ivector(std::int32_t nl, std::int32_t nh);
    static float* fvector(std::int32_t nl, std::int32_t nh);
    static double* dvector(std::int32_t nl, std::int32_t nh);

    // Matrices of (R + 1) x (C + 1) uncleared elements. Null when R < 1 (the
    // bytes are still counted); imatrix is also null, and counts nothing,
    // when nrh is 0.
    static int** imatrix(std::int32_t nrl, std::int32_t nrh, std::int32_t ncl, std::int32_t nch);
    static float** fmatrix(std::int32_t nrl, std::int32_t nrh, std::int32_t ncl, std::int32_t nch);
    static double** dmatrix(std::int32_t nrl, std::int32_t nrh, std::int32_t ncl, std::int32_t nch);

    // Release and null the pointer; a null pointer is left alone. A matrix
    // free must get the row bounds its allocation got.
    static void free_bvector(bool*& v, std::int32_t nl, std::int32_t nh);
    static void free_ivector(int*& v, std::int32_t nl, std::int32_t nh);
    static void free_fvector(float*& v, std::int32_t nl, std::int32_t nh);
    static void free_dvector(double*& v, std::int32_t nl, std::int32_t nh);
    static void free_imatrix(int**& m, std::int32_t nrl, std::int32_t nrh, std::int32_t ncl, std::int32_t nch);
    static void free_matrix(float**& m, std::int32_t nrl, std::int32_t nrh, std::int32_t ncl, std::int32_t nch);
    static void free_dmatrix(double**& m, std::int32_t nrl, std::int32_t nrh, std::int32_t ncl, std::int32_t nch);

    // Bytes ever requested, in megabytes of 1,048,576 bytes.
    static double getTotalMem();

    static double m_dTotalMem_; // bytes ever requested; starts at 0.0
};

#endif
