// Our solver through its front door (qvl3d::CSolver) for the peer
// comparison: one rank's share of a system as the entry points' runner
// splits it, a solver per configuration over the share (on several ranks
// linked to the others by the MPI transports), and the timed rounds.
//
// Stopping rule: the front door's own, the peers' rule: from x = 0 until the
// method's residual norm is within rtol * ||b|| (EReference::RightHandSide).
//
// Times. Build: the constructor (the layout and the sweep rows, once per
// matrix). The iterations: a monitor stamps the clock after every
// iteration, and the time per iteration is (last stamp - first stamp) /
// (iterations - 1), so the first iteration counts at the mean of the others;
// solve = iterations * that. Set-up: the rest of the call (reading b and x,
// the preconditioner's build, the true residuals before and after, writing
// x back), as the entry points' set-up is what a call without iterations
// costs. On several ranks every time is the slowest rank's, and the monitor
// costs a sum of one double per iteration (the front door agrees on whether
// it threw).
#ifndef QVL3D_BENCH_PEERS_FRONTDOORRUNNER_H
#define QVL3D_BENCH_PEERS_FRONTDOORRUNNER_H

#include "ByteModel.h"
#include "PeerSystems.h"

#include "Partition.h"
#include <qvl3d/Solve.h>

#include <memory>
#include <string>
#include <vector>

namespace qvl3d {
namespace peers {

// One configuration, in the comparison's words: method bicgstab, cg, gs,
// gmres; precond diag, dilu, none or any other word of the front door's
// table of preconditioners (ilu0, amg, ...). A word the table lacks is
// skipped with a note, so a row for a new preconditioner is one more line
// in FrontDoorConfigs.
struct CFrontDoorConfig {
    const char* method;
    const char* precond;
    const char* layout;
    bool perIteration; // in every run; otherwise only when --only names it (time to solution)
};

const std::vector<CFrontDoorConfig>& FrontDoorConfigs();

// The front door's options for c, or false and why (a word the table does
// not have, a method that takes no such preconditioner).
bool FrontDoorOptions(const CFrontDoorConfig& c, double rtol, int maxIter, int restart, CSolveOptions& options,
                      std::string& why);

// One timed round of a configuration.
struct CFrontDoorTimes {
    double build = 0.0, setup = 0.0, solve = 0.0;
    int iterations = 0;
    std::string status;
};

class CFrontDoorRunner {
public:
    // ranks > 1: collective over MPI_COMM_WORLD.
    CFrontDoorRunner(const CPeerSystem& s, int rank, int ranks);
    ~CFrontDoorRunner();

    const CLayoutShape& Shape() const { return m_shape; }

    // Builds the solver of c (its constructor timed); false and why when the
    // configuration cannot run here (the why is the same on every rank).
    bool Prepare(const CFrontDoorConfig& c, double rtol, int maxIter, int restart, std::string& why);

    // Solves from x = 0 until the timed calls add up to minSeconds; the means.
    CFrontDoorTimes Round(double minSeconds);

    // The last solution in the original numbering, on rank 0 (empty elsewhere).
    std::vector<double> Solution() const;

private:
    double SlowestRank(double seconds) const;

    const CPeerSystem& m_s;
    int m_ranks;
    host::CPartition m_part;
    std::vector<int> m_columns; // the share's columns counted from 0
    std::vector<double> m_b;    // owned rows
    std::vector<double> m_x;    // owned rows, 1-based with element 0 unused
    std::unique_ptr<CSolver> m_solver;
    double m_build = 0.0;
    // What the monitor saw in the current call.
    double m_first = 0.0, m_last = 0.0;
    int m_stamps = 0;
    CLayoutShape m_shape;
};

} // namespace peers
} // namespace qvl3d

#endif
