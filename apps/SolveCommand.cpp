#include "SolveCommand.h"

#include "Files.h"
#include "MatrixMarket.h"
#include "SolveOptions.h"
#include "SolveProblem.h"
#include "SolveRun.h"
#include "SolveSummary.h"

#include <cstdio>
#include <new>

namespace qvl3d {
namespace app {

namespace {

// The reason on one line, whatever bytes a file name in it holds.
int Fail(EExit status, const std::string& reason)
{
    std::fflush(stdout);
    std::fprintf(stderr, "qvl3d-solve: %s\n", host::Printable(reason).c_str());
    return status;
}

// What --help and --version print, checked like the summary.
int Print(const std::string& text)
{
    const std::string fault = PutStandardOutput(text);
    return fault.empty() ? kExitConverged : Fail(kExitFailure, fault);
}

} // namespace

int SolveMain(int argc, const char* const* argv)
{
    CCommandOptions options;
    try {
        options = ParseOptions(argc, argv);
    } catch (const CUsageError& e) {
        return Fail(kExitBadInput, std::string(e.what()) + " (see --help)");
    }
    if (options.help) return Print(HelpText());
    if (options.version) return Print("qvl3d-solve " QVL3D_VERSION "\n");

    try {
        CheckFiles(options);
        const CProblem problem = SetUpProblem(options);
        const CRunResult result = RunSolve(problem, options);
        PrintSummary(stdout, problem, result);
        std::string reason;
        const EExit status = WriteResults(options, problem, result, "solution from qvl3d-solve: " + problem.description,
                                          StandardOutputFault(), reason);
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

} // namespace app
} // namespace qvl3d
