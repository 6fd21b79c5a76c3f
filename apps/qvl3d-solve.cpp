// qvl3d-solve: the main job. Builds or reads a sparse system, fills the host
// objects in all three layouts, checks them, solves through the chosen entry
// point and solver code, and reports what the host measured. The library's
// own console lines pass through unchanged; the summary follows them.
//
// Exit status: 0 converged, 1 not converged, 2 bad options or input, 3 the
// run could not finish. Every non-zero status comes with one line on
// standard error.
#include "MatrixMarket.h"
#include "SolveOptions.h"
#include "SolveProblem.h"
#include "SolveRun.h"
#include "SolveSummary.h"
#if QVL3D_WITH_MPI
#include "SolveDistributed.h"
#endif

#include <cstdio>
#include <new>

using namespace qvl3d;
using namespace qvl3d::app;

namespace {

int Fail(EExit status, const std::string& reason)
{
    std::fflush(stdout);
    std::fprintf(stderr, "qvl3d-solve: %s\n", reason.c_str());
    return status;
}

} // namespace

int main(int argc, char** argv)
{
#if QVL3D_WITH_MPI
    if (LaunchedByMpi()) return DistributedMain(argc, argv); // mpiexec -n P qvl3d-solve ...
#endif
    CSolveOptions options;
    try {
        options = ParseOptions(argc, argv);
    } catch (const CUsageError& e) {
        return Fail(kExitBadInput, std::string(e.what()) + " (see --help)");
    }
    if (options.help) {
        std::fputs(HelpText().c_str(), stdout);
        return kExitConverged;
    }
    if (options.version) {
        std::printf("qvl3d-solve 0.1.0\n");
        return kExitConverged;
    }

    try {
        const CProblem problem = SetUpProblem(options);
        const CSolveResult result = RunSolve(problem, options);
        PrintSummary(stdout, problem, result);
        std::string reason;
        const EExit status =
            WriteResults(options, problem, result, "solution from qvl3d-solve: " + problem.description, reason);
        return status == kExitConverged ? kExitConverged : Fail(status, reason);
    } catch (const host::CInputError& e) {
        return Fail(kExitBadInput, e.what());
    } catch (const CUsageError& e) {
        return Fail(kExitBadInput, e.what());
    } catch (const CHostCheckError& e) {
        return Fail(kExitBadInput, e.what());
    } catch (const std::invalid_argument& e) {
        return Fail(kExitBadInput, e.what());
    } catch (const std::bad_alloc&) {
        return Fail(kExitFailure, "out of memory");
    } catch (const std::exception& e) {
        return Fail(kExitFailure, e.what());
    }
}
