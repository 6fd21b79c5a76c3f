// What qvl3d-solve reports: the summary on standard output, the same as
// JSON, the solution file, the residual plot, and the exit status with its
// one-line reason.
#ifndef QVL3D_APPS_SOLVESUMMARY_H
#define QVL3D_APPS_SOLVESUMMARY_H

#include "SolveProblem.h"
#include "SolveRun.h"

#include <cstdio>
#include <functional>
#include <string>

namespace qvl3d {
namespace app {

// The summary; out is left to the caller to flush (and check).
void PrintSummary(std::FILE* out, const CProblem& problem, const CRunResult& result);
// exitStatus: the command's own, which a file it could not write makes 3.
std::string SummaryJson(const CProblem& problem, const CRunResult& result, EExit exitStatus);

// Writes text as the file at path, whole or not at all (a previous file
// stays as it was); throws std::runtime_error naming the path and the reason
// when it cannot.
void WriteText(const std::string& path, const std::string& text);

// Opens /dev/null on whichever of standard input, output and error is
// closed, so that no file the command opens takes its number (and the
// summary with it), and remembers a closed standard output as a fault.
void GuardStandardStreams();

// Flushes standard output; the reason everything written there did not get
// there (closed, a full disk, a failed write), or empty.
std::string StandardOutputFault();

// Writes text to standard output and flushes it: StandardOutputFault's
// reason, with the error of the write itself when a long text fails
// before the flush.
std::string PutStandardOutput(const std::string& text);

// The exit status of a finished run, and the one-line reason for a non-zero
// one (empty for 0).
EExit Outcome(const CRunResult& result, std::string& reason);

// Writes the files the options ask for (x in the original numbering,
// with solutionComment; the plot; the JSON last) and returns the exit status
// of the run with its reason: Outcome's, or 3 when the summary could not be
// written (consoleFault, from StandardOutputFault) or a file could not.
// writeSolution, when given, writes the solution instead of result.x (a
// distributed run streams it from the ranks); what it throws is the
// solution file's fault.
EExit WriteResults(const CCommandOptions& options, const CProblem& problem, const CRunResult& result,
                   const std::string& solutionComment, const std::string& consoleFault, std::string& reason,
                   const std::function<void()>& writeSolution = nullptr);

} // namespace app
} // namespace qvl3d

#endif
