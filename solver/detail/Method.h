// What a method takes and what it gives back. The methods read no store:
// their settings come in as one small value, their stop rule and
// preconditioner as types, their vectors as a set of pointers, and they
// return a record of how they ended. The entry points
// translate the host's store into these and the record back into the store;
// the front door fills them from its own options.
#ifndef QVL3D_DETAIL_METHOD_H
#define QVL3D_DETAIL_METHOD_H

#include <qvl3d/SolveRecord.h>

#include <cmath>

namespace qvl3d {
namespace detail {

// What ends a solve besides its rule, checked after every iteration: a norm
// that is not finite (NonFinite), a norm above divergeAbove (Diverged), the
// observer's request through *interrupt (Interrupted), and in the conjugate
// gradient a matrix or preconditioner seen not to be definite (Indefinite). The entry points ask for
// none of them.
struct CGuards {
    bool stopOnNonFinite = false;
    double divergeAbove = HUGE_VAL;
    bool stopOnIndefinite = false;
    const bool* interrupt = nullptr;
};

// The stop rules, chosen once per solve and passed to the methods as types.
// Met(norm, againstFirst) tells whether the method's norm after an iteration
// passes: the host's rule leaves the comparison to the method, which
// measures against its own first iteration (againstFirst(tolerance)); the
// absolute rule is norm <= threshold for every method.
struct CAgainstFirst {
    double tolerance = 0.0;
    CGuards guards;

    template <class Compare>
    bool Met(double, Compare&& againstFirst) const
    {
        return againstFirst(tolerance);
    }
};

struct CAbsolute {
    double threshold = 0.0;
    CGuards guards;

    template <class Compare>
    bool Met(double norm, Compare&&) const
    {
        return norm <= threshold;
    }
};

// The rest of what a method reads besides its stop rule and preconditioner.
struct CMethodSettings {
    int maxIter = 0;
    bool nonBlocking = false; // split exchange, where the layout honours it
    bool markers = false;     // Gauss-Seidel's console lines, where the layout prints them
    int progressInterval = 0; // conjugate gradient: a progress line every that many iterations; 0 never
    int ivarb = 0;            // the variable named in the progress line
    double* xMax = nullptr;   // Gauss-Seidel: the owned extremes of x after the last sweep
    double* xMin = nullptr;   // (both or neither)
    const CIterationObserver* observer = nullptr;
};

// The work vectors, indexed by cell from 1. p, phat and shat have room for
// the halo cells (they are exchanged); the others for the owned cells.
struct CWorkVectors {
    double* r;
    double* r0hat;
    double* p;
    double* phat;
    double* z; // conjugate gradient: M^-1 r; BiCGSTAB: v = A phat
    double* q; // conjugate gradient: A p; BiCGSTAB: s
    double* shat;
    double* t;
    double* diag; // the preconditioner array
    double* precondWork;
};

// Book-keeping at the end of iteration k with the method's norm: the record,
// the observer. Returns the status a guard ends the solve with, or NotRun
// to go on.
template <class Stop>
EStatus IterationDone(CSolveRecord& rec, const CMethodSettings& s, const Stop& stop, int k, double norm)
{
    rec.iterations = k;
    rec.lastNorm = norm;
    if (k == 1) {
        rec.reference = norm;
        rec.haveReference = true;
    }
    if (norm == 0.0 && rec.zeroNormAt == 0) rec.zeroNormAt = k;
    if (s.observer != nullptr && s.observer->call != nullptr) s.observer->call(s.observer->data, k, norm);
    const CGuards& g = stop.guards;
    if (g.interrupt != nullptr && *g.interrupt) return EStatus::Interrupted;
    if (g.stopOnNonFinite && !std::isfinite(norm)) return EStatus::NonFinite;
    if (norm > g.divergeAbove) return EStatus::Diverged;
    return EStatus::NotRun;
}

inline CSolveRecord Ended(CSolveRecord rec, EStatus status)
{
    rec.status = status;
    return rec;
}

} // namespace detail
} // namespace qvl3d

#endif
