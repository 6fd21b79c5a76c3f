// One level of the multigrid hierarchy and the steps of its build, for the
// build and the cycle.
#ifndef QVL3D_MULTIGRID_AMGLEVEL_H
#define QVL3D_MULTIGRID_AMGLEVEL_H

#include "AmgHierarchy.h"
#include "detail/Layouts.h"

#include <vector>

namespace qvl3d {
namespace amg {

// Where the terms of P's values land: per row the entry of its tentative 1
// (-1: none) and, for a smoothed P, per entry of A the entry of P it is
// taken off (-1: a column left out).
struct CValueMap {
    std::vector<int> one;
    std::vector<int> term;
};

struct CAmgHierarchy::CLevel {
    CSparse A;                  // the level's operator
    std::vector<int> aggregate; // per row, its aggregate in the next level (0-based), -1: none
    CSparse P, PT, AP;          // to the next level: P, P^T and A P
    std::vector<int> source;    // per entry of P^T, the entry of P
    bool smoothed = false;      // P is the smoothed prolongation (else the tentative one)
    std::vector<double> dilu;   // the DILU array of A
    // The numeric phase's maps (AmgValues.cpp), recorded by the first
    // values after new patterns (mapped false) and kept by Update.
    bool mapped = false;
    CValueMap pMap;           // P's values from A's
    std::vector<int> partner; // per entry of A, its DILU partner
    std::vector<double> sum;  // the products' row sums, one per coarse cell, 0.0 between rows (ProductValues)
    std::vector<double> x, b, r, z, work;

    // The library's CSR rows over A (no prefetch hints).
    detail::CCsrRows Rows() const { return {A.rows, A.val.data(), A.col.data(), A.start.data(), 0}; }
    // The vectors sized (kept when they have the size) and the DILU array
    // built from A's values (recording its map where none is kept yet).
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
void ProductValues(const CSparse& A, const CSparse& B, CSparse& C, std::vector<double>& sum);
void TransposePattern(const CSparse& P, CSparse& T, std::vector<int>& source);

// AmgValues.cpp: the numeric phase from maps of the patterns.
void ProlongatorValuesMapped(const CSparse& A, const std::vector<int>& agg, bool smoothed, CSparse& P, CValueMap& map,
                             std::vector<int>& position);
void ProlongatorValuesFrom(const CSparse& A, const CValueMap& map, CSparse& P);
void DiluMapped(const CSparse& A, std::vector<int>& partner, double* D);
void DiluFrom(const CSparse& A, const std::vector<int>& partner, double* D);

} // namespace amg
} // namespace qvl3d

#endif
