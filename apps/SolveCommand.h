// The serial command qvl3d-solve as a function: parses argv, solves, prints
// the summary, writes the files asked for and returns the exit status, with
// one line on standard error for a non-zero one. The program's main and the
// Python module (python3 -m qvl3d) both run it.
#ifndef QVL3D_APPS_SOLVECOMMAND_H
#define QVL3D_APPS_SOLVECOMMAND_H

namespace qvl3d {
namespace app {

// argv[0] is the program's name, argv[1..argc-1] its options.
int SolveMain(int argc, const char* const* argv);

} // namespace app
} // namespace qvl3d

#endif
