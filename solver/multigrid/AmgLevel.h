// One level of the multigrid hierarchy and the steps of its build, for the
// build and the cycle.
#ifndef QVL3D_MULTIGRID_AMGLEVEL_H
#define QVL3D_MULTIGRID_AMGLEVEL_H

#include "AmgHierarchy.h"
#include "detail/Layouts.h"

#include <vector>

namespace qvl3d {
namespace amg {

struct CAmgHierarchy::CLevel {
    CSparse A;                  // the level's operator
    std::vector<int> aggregate; // per row, its aggregate in the next level (0-based), -1: none
    CSparse P, PT, AP;          // to the next level: P, P^T and A P
    std::vector<int> source;    // per entry of P^T, the entry of P
    bool smoothed = false;      // P is the smoothed prolongation (else the tentative one)
    std::vector<double> dilu;   // the DILU array of A
    std::vector<double> x, b, r, z, work;

    // The library's CSR rows over A (no prefetch hints).
    detail::CCsrRows Rows() const { return {A.rows, A.val.data(), A.col.data(), A.start.data(), 0}; }
    // The vectors sized (kept when they have the size) and the DILU array
    // built from A's values.
    void Prepare();
};

CSparse ProlongatorPattern(const CSparse& A, const std::vector<int>& agg, int coarse, bool smoothed);
void ProlongatorValues(const CSparse& A, const std::vector<int>& agg, bool smoothed, CSparse& P,
                       std::vector<int>& position);
void ProlongatorValues(const CSparse& A, const std::vector<int>& agg, bool smoothed, double bound, CSparse& P,
                       std::vector<int>& position);
// The largest row sum of |a_ik| / |a_ii| over the rows whose diagonal is not 0.
double GershgorinBound(const CSparse& A);
void ProductPattern(const CSparse& A, const CSparse& B, CSparse& C, bool diagonalFirst);
void ProductValues(const CSparse& A, const CSparse& B, CSparse& C, std::vector<int>& position);
void TransposePattern(const CSparse& P, CSparse& T, std::vector<int>& source);

} // namespace amg
} // namespace qvl3d

#endif
