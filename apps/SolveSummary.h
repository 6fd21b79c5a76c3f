// What qvl3d-solve reports: the summary on standard output, the same as
// JSON, the solution file, and the exit status with its one-line reason.
#ifndef QVL3D_APPS_SOLVESUMMARY_H
#define QVL3D_APPS_SOLVESUMMARY_H

#include "SolveProblem.h"
#include "SolveRun.h"

#include <cstdio>
#include <string>

namespace qvl3d {
namespace app {

void PrintSummary(std::FILE* out, const CProblem& problem, const CSolveResult& result);
std::string SummaryJson(const CProblem& problem, const CSolveResult& result);

// Writes text to the file at path; throws std::runtime_error naming the path
// when it cannot.
void WriteText(const std::string& path, const std::string& text);

// The exit status of a finished run, and the one-line reason for a non-zero
// one (empty for 0).
EExit Outcome(const CSolveResult& result, std::string& reason);

} // namespace app
} // namespace qvl3d

#endif
