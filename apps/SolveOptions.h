// Command-line options of qvl3d-solve: what to solve, how, and where the
// results go. Parsing refuses anything it does not understand with a
// one-line reason (CUsageError), naming the nearest valid option for a
// misspelt one.
#ifndef QVL3D_APPS_SOLVEOPTIONS_H
#define QVL3D_APPS_SOLVEOPTIONS_H

#include "BoxProblems.h"
#include <qvl3d/Solve.h>
#include <qvl3d/SolverTable.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace qvl3d {
namespace app {

// Exit statuses of the command.
enum EExit : int {
    kExitConverged = 0,    // ||b - Ax|| / ||b|| meets the tolerance
    kExitNotConverged = 1, // it does not, or x is not finite
    kExitBadInput = 2,     // options, input files or the host check refused
    kExitFailure = 3,      // the run could not finish: memory, output files
};

class CUsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

enum class EProblem { ConvectionDiffusion, Poisson, MatrixFile };

struct CCommandOptions {
    EProblem problem = EProblem::ConvectionDiffusion;
    host::CBox box{64, 64, 64};
    host::CConvection flow;
    host::ERenumber renumber = host::ERenumber::None;
    std::uint64_t seed = 1;
    std::string matrixFile, rhsFile, exactFile, guessFile;

    // The road: the front door (qvl3d::CSolver) unless entryPoint, which
    // fills the host objects and calls the design's entry points.
    bool entryPoint = false;
    int code = 2;    // solver code: 2..6 on the entry points' road, a method's (CommandCode) on the front door's
    int precond = 1; // store preconditioner type: 0 none, 1 DILU, 3 diagonal; below 0 see CommandType
    bool precondGiven = false;
    EReference reference = EReference::RightHandSide; // the front door's stopping rule
    ELayout layout = ELayout::Csr;
    double tolerance = 1e-8;
    int maxIter = 10000;
    bool nonBlocking = false;
    bool openmp = false;
    int progress = 0;     // conjugate-gradient progress line every N iterations; 0 off
    bool monitor = false; // a line per iteration with the method's residual
    int repeat = 1;

    std::string outputFile, jsonFile, plotFile;
    bool help = false, version = false;
};

// Parses argv[1..argc-1]. Throws CUsageError.
CCommandOptions ParseOptions(int argc, const char* const* argv);
CCommandOptions ParseOptions(const std::vector<std::string>& args);

// Refuses (CUsageError) an output file that is an input file or another
// output file: the files compared, not the names (links, "./x", hard links).
// Devices such as /dev/null may take several outputs.
void CheckFiles(const CCommandOptions& options);

std::string HelpText();

// The options' names without the dashes, in the order --help lists them.
std::vector<std::string> OptionNames();

// The front door's options from the command's: method, the preconditioner
// named (none named: the method's default), layout, tolerance against the
// reference, limit.
CSolveOptions FrontDoorOptions(const CCommandOptions& options);

// The valid option nearest to a misspelt one ("--tolerance" -> "--tol").
std::string NearestOption(const std::string& given);

// Names for people, from the library's table (SolverTable.h).
// The command's code of a method and type of a preconditioner: the entry
// points' solver code or store type where they have one, otherwise -1 minus
// the row's place in its table (a row the entry points do not know), and
// back.
int CommandCode(const CMethodInfo& method);
int CommandType(const CPreconditionerInfo& preconditioner);
EMethod MethodOfCode(int code);
const CPreconditionerInfo& PreconditionerOfType(int type);

const char* MethodName(int code);
const char* PreconditionerName(int type);
const char* LayoutName(ELayout layout);

} // namespace app
} // namespace qvl3d

#endif
