// qvl3d-solve: the main job. Builds or reads a sparse system, solves it
// through the front door (qvl3d::CSolver) or, with --entry-point, fills the
// host objects in all three layouts, checks them and solves through the
// chosen entry point and solver code; then reports what the host measured.
// The library's own console lines pass through unchanged; the summary
// follows them.
//
// Exit status: 0 converged, 1 not converged, 2 bad options or input, 3 the
// run could not finish (memory, standard output, an output file). Every
// non-zero status comes with one line on standard error.
#include "SolveCommand.h"
#include "SolveSummary.h"
#if QVL3D_WITH_MPI
#include "SolveDistributed.h"
#endif

#include <csignal>

using namespace qvl3d::app;

int main(int argc, char** argv)
{
    GuardStandardStreams();
    // Past a file-size limit a write fails (EFBIG) and the command says so,
    // keeping the previous file, instead of being killed halfway.
    std::signal(SIGXFSZ, SIG_IGN);
#if QVL3D_WITH_MPI
    if (LaunchedByMpi()) return DistributedMain(argc, argv); // mpiexec -n P qvl3d-solve ...
#endif
    return SolveMain(argc, argv);
}
