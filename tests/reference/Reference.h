// The oracle: a plain, slow statement of the solver's methods (row product,
// DILU and diagonal preconditioners, Gauss-Seidel, conjugate gradient,
// BiCGSTAB), written straight from the methods' definitions and sharing no
// code with the library. Everything is a loop over plain vectors, one
// floating-point operation at a time in the order the method defines: no
// layouts, no fused passes, no tuning. It exists to be read by someone who
// checks a result, and to be compared bit for bit with the library.
//
// It includes no library header, so a fault inside one of the library's
// shared templates cannot leak into it.
#ifndef QVL3D_TESTS_REFERENCE_H
#define QVL3D_TESTS_REFERENCE_H

#include <qvl3d/SolverTable.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace qvl3d {
namespace oracle {

// One owned row: its diagonal and its off-diagonal (column, value) pairs in
// storage order. A column above n is a halo cell.
struct CRow {
    double diag = 0.0;
    std::vector<std::pair<int, double>> off;
};

// The owned rows 1..n of one partition (rows[0] is unused); cells
// n+1..nTotal are halo cells.
struct CMatrix {
    int n = 0;
    int nTotal = 0;
    std::vector<CRow> rows;
};

using qvl3d::ELayout;

// What the layouts do differently. The row product is the same for all
// three: diagonal first, then storage order (an empty ELL slot adds nothing).
struct CLayoutRules {
    // true (native, ELL): the DILU parts of a row come from its ordered slot
    // lists, which hold the lower part and the upper part each in ascending
    // column order (equal columns in storage order); the build skips an upper
    // coefficient of exactly 0.0 and searches the partner only in the lower
    // part of the partner's row.
    // false (CSR): the parts are found by comparing columns in storage order,
    // a stored 0.0 still updates, the partner is searched among all the
    // off-diagonal entries of the partner's row.
    bool orderedLists = true;
    bool markers = true;            // Gauss-Seidel writes "1 \n".."5 \n" and "resn=%e\n"
    bool honoursNonBlocking = true; // the store's flag selects the start/wait exchange
};
CLayoutRules RulesOf(ELayout layout);

// The store as the methods see it. Vectors are indexed by cell number;
// element 0 is never used. Per-variable arrays are indexed by the variable.
struct CStore {
    std::vector<double> r, r0hat, p, phat, z, q, shat, t;
    std::vector<double> precondDiag, precondWork;
    std::vector<int> maxIter, iterCount;
    std::vector<double> tolerance, residual0;
    int precondType = 0;
    int printSolver = 0, printInterval = 1, silent = 1;
    bool nonBlocking = false;
    double solutionMax = 0.0, solutionMin = 0.0;
};

// Everything that leaves the partition: the global sums, the halo
// exchanges and the console. The oracle records each call the way a
// recording transport would, with the name of the exchanged vector.
struct CEnvironment {
    std::function<double(double)> sum;     // global value from the local one
    std::function<void(double*)> fillHalo; // what an exchange (or a wait) writes into the halo
    std::vector<std::string> calls;        // "Sum", "Exch x", "Start0 p", "Wait0 p", ...
    std::vector<double> handedToSum;       // local value of every sum, in order
    std::string console;

    double Sum(double local);
    void Exchange(double* v, const std::string& name, bool nonBlocking);
    void Print(const std::string& text) { console += text; }
};

// Row i of A times v.
double RowProduct(const CMatrix& A, int i, const double* v);

// Type 1 DILU, type 3 reciprocal diagonal; any other type writes nothing.
void BuildPreconditioner(const CMatrix& A, const CLayoutRules& rules, int type, double* D);

// z = M^-1 r on the owned cells; y is the DILU work vector.
void ApplyPreconditioner(const CMatrix& A, const CLayoutRules& rules, int type, double* z, const double* r,
                         const double* D, double* y);

void GaussSeidel(const CMatrix& A, const CLayoutRules& rules, CStore& S, CEnvironment& env, int ivarb, double* x,
                 const double* b);
void Pcg(const CMatrix& A, const CLayoutRules& rules, CStore& S, CEnvironment& env, int ivarb, double* x,
         const double* b);
void BiCgStab(const CMatrix& A, const CLayoutRules& rules, CStore& S, CEnvironment& env, int ivarb, double* x,
              const double* b);

// The entry point of a layout with solver code `code`.
void Solve(const CMatrix& A, ELayout layout, int code, CStore& S, CEnvironment& env, int ivarb, double* x,
           const double* b);

} // namespace oracle
} // namespace qvl3d

#endif
