#include "OurRunner.h"

#include "PeerReport.h"

#include <qvl3d/MpiTransport.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <fcntl.h>
#include <stdexcept>
#include <string>
#include <unistd.h>

namespace qvl3d {
namespace peers {

namespace {

// Sends the solver's console lines to /dev/null while alive.
class CQuietStdout {
public:
    CQuietStdout()
    {
        std::fflush(stdout);
        m_saved = dup(STDOUT_FILENO);
        const int null = open("/dev/null", O_WRONLY);
        if (m_saved < 0 || null < 0) throw std::runtime_error("cannot redirect standard output");
        dup2(null, STDOUT_FILENO);
        close(null);
    }
    ~CQuietStdout()
    {
        std::fflush(stdout);
        dup2(m_saved, STDOUT_FILENO);
        close(m_saved);
    }
    CQuietStdout(const CQuietStdout&) = delete;
    CQuietStdout& operator=(const CQuietStdout&) = delete;

private:
    int m_saved = -1;
};

} // namespace

void MeasureNativeRows(const host::CHostSystem& sys, CLayoutShape& shape)
{
    const int n = sys.Cells();
    if (n < 2) return;
    auto stride = [n](auto* const* rows, std::intptr_t& lo, std::intptr_t& hi) {
        std::vector<double> d;
        d.reserve(static_cast<size_t>(n));
        lo = INTPTR_MAX;
        hi = 0;
        for (int i = 1; i <= n; ++i) {
            const auto a = reinterpret_cast<std::intptr_t>(rows[i]);
            lo = std::min(lo, a);
            hi = std::max(hi, a);
            if (i < n) {
                const auto b = reinterpret_cast<std::intptr_t>(rows[i + 1]);
                d.push_back(static_cast<double>(b > a ? b - a : a - b));
            }
        }
        return Median(d);
    };
    std::intptr_t cLo, cHi, nLo, nHi, oLo, oHi;
    shape.nativeCoefPerRow = stride(sys.store.m_ppdCoef, cLo, cHi);
    shape.nativeNeighbourPerRow = stride(sys.mesh.m_ppiNeighbor, nLo, nHi);
    shape.nativeSlotsPerRow = stride(sys.store.m_ppiOrderedSlot, oLo, oHi);
    // Blocks of one row side by side: the address ranges of the three
    // families overlap.
    shape.nativeInterleaved = (cLo < nHi && nLo < cHi) || (cLo < oHi && oLo < cHi);
}

const std::vector<COurConfig>& OurConfigs()
{
    static const std::vector<COurConfig> configs = {
        {"bicgstab", "diag", "native", 2, 3}, {"bicgstab", "diag", "csr", 2, 3}, {"bicgstab", "diag", "ell", 2, 3},
        {"bicgstab", "dilu", "native", 2, 1}, {"bicgstab", "dilu", "csr", 2, 1}, {"bicgstab", "dilu", "ell", 2, 1},
        {"cg", "diag", "native", 3, 3},       {"cg", "diag", "csr", 3, 3},       {"cg", "dilu", "native", 3, 1},
        {"cg", "dilu", "csr", 3, 1},          {"gs", "none", "native", 4, 0},    {"gs", "none", "csr", 4, 0},
        {"gs", "none", "ell", 4, 0},
    };
    return configs;
}

host::CPartition ShareOf(const CPeerSystem& s, int rank, int ranks)
{
    host::CPartition part;
    if (ranks == 1) {
        part.A = s.A;
        part.global.resize(static_cast<size_t>(s.A.nCell) + 1);
        for (int i = 0; i <= s.A.nCell; ++i) part.global[static_cast<size_t>(i)] = i;
        return part;
    }
    host::COwners owners = rank == 0
                               ? (s.isBox ? host::PartitionBox(s.box, ranks) : host::PartitionRows(s.A.nCell, ranks))
                               : host::COwners();
    host::BroadcastOwners(MPI_COMM_WORLD, owners);
    return host::Distribute(s.A, owners, rank, ranks);
}

void MeasureSweepRows(const host::CSparseMatrix& A, CLayoutShape& shape)
{
    const int n = A.nCell;
    if (n < 1) return;
    long long lower = 0, upper = 0, off = 0;
    for (int i = 1; i <= n; ++i)
        for (int e = A.RowBegin(i); e < A.RowEnd(i); ++e) {
            const int j = A.col[static_cast<size_t>(e)];
            if (j == i) continue;
            ++off;
            if (j > n) continue; // a halo column: no sweep of DILU reads it
            ++(j < i ? lower : upper);
        }
    shape.lowerPerRow = static_cast<double>(lower) / n;
    shape.upperPerRow = static_cast<double>(upper) / n;
    shape.offPerRow = static_cast<double>(off) / n;
}

COurRunner::COurRunner(const CPeerSystem& s, int rank, int ranks) : m_s(s), m_ranks(ranks)
{
    std::shared_ptr<CSumTransport> sum;
    std::shared_ptr<CHaloTransport> halo;
    m_part = ShareOf(s, rank, ranks);
    if (ranks > 1) {
        halo = std::make_shared<CMpiHaloTransport>(MPI_COMM_WORLD, m_part.plan);
        sum = std::make_shared<CMpiSumTransport>(MPI_COMM_WORLD);
    }
    m_commu = halo ? std::make_unique<CCommunication>(halo) : std::make_unique<CCommunication>();
    m_com = sum ? std::make_unique<CQVLCom>(sum) : std::make_unique<CQVLCom>();
    m_sys = std::make_unique<host::CHostSystem>(m_part.A);
    if (m_sys->Bind(m_solver, *m_commu, *m_com) != 0) throw std::runtime_error("binding the host objects failed");
    m_x = m_sys->NewVector();
    m_b = m_sys->NewVector();
    const std::vector<double> b = ranks == 1 ? s.b : host::Localise(m_part, s.b);
    std::copy(b.begin() + 1, b.begin() + 1 + m_part.A.nCell, m_b + 1);

    m_shape.entriesPerRow = static_cast<double>(m_part.A.NonZeros()) / std::max(1, m_part.A.nCell);
    m_shape.ellWidth = m_sys->gpu.m_nELLWidth;
    MeasureNativeRows(*m_sys, m_shape);
    MeasureSweepRows(m_part.A, m_shape);
}

bool COurRunner::Prepare(const COurConfig& c, double rtol, double& tolerance)
{
    m_sys->SetPreconditioner(c.precondType);
    Reset();
    m_sys->SetVariable(kVar, 1, 0.0);
    Call(c);
    if (!m_record.haveReference) return false;
    const double res0 = m_record.reference;
    tolerance = res0 > 0.0 ? rtol * m_s.normB / res0 : 0.0;
    return true;
}

void COurRunner::Round(const COurConfig& c, int maxIter, double tolerance, double minSeconds, double& setup,
                       double& solve, int& iterations)
{
    m_sys->SetPreconditioner(c.precondType);
    setup = 0.0;
    if (c.code != 4)
        setup = MeanOver(minSeconds, [&] {
            Reset();
            m_sys->SetVariable(kVar, 0, tolerance);
            return TimedCall(c);
        });
    const double total = MeanOver(minSeconds, [&] {
        Reset();
        m_sys->SetVariable(kVar, maxIter, tolerance);
        const double dt = TimedCall(c);
        iterations = m_record.iterations;
        return dt;
    });
    solve = std::max(0.0, total - setup);
}

std::vector<double> COurRunner::Solution() const
{
    if (m_ranks == 1) return std::vector<double>(m_x, m_x + m_part.A.nCell + 1);
    return host::GatherSolution(MPI_COMM_WORLD, m_part, m_x, m_s.A.nCell);
}

void COurRunner::Reset()
{
    std::fill(m_x, m_x + m_sys->CellsTotal() + 1, 0.0);
}

// The slowest rank's time, the same on every rank.
double COurRunner::TimedCall(const COurConfig& c)
{
    if (m_ranks > 1) MPI_Barrier(MPI_COMM_WORLD);
    const double t0 = Now();
    Call(c);
    double dt = Now() - t0;
    if (m_ranks > 1) MPI_Allreduce(MPI_IN_PLACE, &dt, 1, MPI_DOUBLE, MPI_MAX, MPI_COMM_WORLD);
    return dt;
}

void COurRunner::Call(const COurConfig& c)
{
    CQuietStdout quiet;
    const std::string layout = c.layout;
    const ELayout entry = layout == "native" ? ELayout::Native : layout == "csr" ? ELayout::Csr : ELayout::Ell;
    m_record = SolveRecorded(m_solver, entry, kVar, c.code, m_x, m_b);
}

} // namespace peers
} // namespace qvl3d
