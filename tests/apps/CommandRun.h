// qvl3d-solve run as a user runs it, from the tests: the binary with its
// arguments, its exit status, standard output and standard error, in a
// scratch folder of the test's own.
#ifndef QVL3D_TESTS_APPS_COMMANDRUN_H
#define QVL3D_TESTS_APPS_COMMANDRUN_H

#include "TestSupport.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace qvl3d {
namespace test {

struct CRun {
    int status = -1;
    std::string out, err;
};

class CommandTest : public ::testing::Test {
public:
    std::string Path(const std::string& name) const { return m_dir.Path(name); }

    CRun Run(const std::vector<std::string>& args) const
    {
        std::string line = QVL3D_SOLVE_BINARY;
        for (const std::string& a : args) line += " '" + a + "'";
        const int status = std::system((line + " >" + Path("out") + " 2>" + Path("err")).c_str());
        return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, ReadFile(Path("out")), ReadFile(Path("err"))};
    }

private:
    CScratchDir m_dir;
};

} // namespace test
} // namespace qvl3d

#endif
