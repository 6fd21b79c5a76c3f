// The host objects a solver is bound to, and the translation between the
// host's store and what the methods take and give: settings and work
// vectors in, the record back into the store's per-variable results.
#ifndef QVL3D_DETAIL_BOUND_H
#define QVL3D_DETAIL_BOUND_H

#include <qvl3d/Communication.h>
#include <qvl3d/HostObjects.h>
#include <qvl3d/SolveRecord.h>
#include "detail/Context.h"
#include "detail/Layouts.h"
#include "detail/Method.h"
#include "Platform.h"

namespace qvl3d {
namespace detail {

struct CBound {
    CQvl3dGV* S;
    CQVL3DFiniteVolumeMesh* mesh;
    CCommunication* commu;
    CQVLCom* com;
    CQVLGVGPU* gpu;

    CSolveContext Context() const { return CSolveContext{*commu, *com}; }
};

// The store's settings for variable ivarb that every method reads, read once
// at the start of a call: nothing changes them while a method runs. The
// Krylov methods add the preconditioner, which Gauss-Seidel never reads (a
// host may leave its type unset).
inline CMethodSettings SettingsOf(const CQvl3dGV& S, int ivarb, const CIterationObserver* observer)
{
    CMethodSettings set;
    set.maxIter = S.m_piMaxIter[ivarb];
    set.nonBlocking = S.m_bNonBlockingExch;
    set.markers = true;
    set.ivarb = ivarb;
    set.observer = observer;
    return set;
}

// The host's stop rule for variable ivarb: against the first iteration's
// norm with the store's tolerance.
inline CAgainstFirst StopRuleOf(const CQvl3dGV& S, int ivarb)
{
    return CAgainstFirst{S.m_pdTolerance[ivarb], CGuards{}};
}

inline CWorkVectors WorkOf(const CQvl3dGV& S)
{
    return CWorkVectors{S.m_pdVecR, S.m_pdVecR0Hat, S.m_pdVecP, S.m_pdVecPHat,     S.m_pdVecZ,
                        S.m_pdVecQ, S.m_pdVecSHat,  S.m_pdVecT, S.m_pdPrecondDiag, S.m_pdPrecondWork};
}

// One method on the bound objects with the rows of `layout`: the store
// translated in, the record written back where the store has a place for it,
// and returned.
CSolveRecord RunGaussSeidel(const CBound& h, ELayout layout, int ivarb, double* x, const double* b,
                            const CIterationObserver* observer);
CSolveRecord RunPcg(const CBound& h, ELayout layout, int ivarb, double* x, const double* b,
                    const CIterationObserver* observer);
CSolveRecord RunBiCgStab(const CBound& h, ELayout layout, int ivarb, double* x, const double* b,
                         const CIterationObserver* observer);

// Bytes of the matrix rows a pass reads, as the layouts store them (native:
// coefficients, neighbours and the row's pointers and count).
inline long long RowBytes(const CCsrRows& A)
{
    return A.n == 0 ? 0 : 12LL * (A.start[A.n + 1] - A.start[1]) + 4LL * A.n;
}

inline long long RowBytes(const CNativeRows& A)
{
    long long entries = 0;
    for (int i = 1; i <= A.n; ++i) entries += A.numNeighbor[i] + 1;
    return 12 * entries + 28LL * A.n;
}

// A solve's rows hint the rows ahead only when they stream from memory: rows
// taking less than half the last-level cache go without (when the cache's
// size is unknown, the hints stay).
template <class Rows>
Rows HintedWhereStreaming(Rows A)
{
    if (2 * RowBytes(A) < platform::LastLevelCacheBytes()) A.prefetchEnd = 0;
    return A;
}

// Calls f with the rows of `layout`, hinted where they stream.
template <class F>
auto WithRows(const CBound& h, ELayout layout, F&& f)
{
    switch (layout) {
    case ELayout::Csr: return f(HintedWhereStreaming(CsrRowsOf(h.mesh)));
    case ELayout::Ell: return f(EllRowsOf(h.gpu, h.S, h.mesh));
    case ELayout::Native: break;
    }
    return f(HintedWhereStreaming(NativeRowsOf(h.S, h.mesh)));
}

} // namespace detail
} // namespace qvl3d

#endif
