// qvl3d-solve run as a user runs it, from the tests: the binary with its
// arguments, its exit status, standard output and standard error, in a
// scratch folder of the test's own.
#ifndef QVL3D_TESTS_APPS_COMMANDRUN_H
#define QVL3D_TESTS_APPS_COMMANDRUN_H

#include "TestSupport.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
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

    // shell runs first in the same shell ("ulimit -f 8; "); stdoutTo, when
    // given, replaces where standard output goes (">/dev/full", ">&-"), and
    // out is then empty. launch goes before the binary (mpiexec -n 2).
    CRun Run(const std::vector<std::string>& args, const std::string& shell = "", const std::string& stdoutTo = "",
             const std::string& launch = "") const
    {
        std::string line = shell + launch + QVL3D_SOLVE_BINARY;
        for (const std::string& a : args) line += " '" + a + "'";
        std::remove(Path("out").c_str());
        line += stdoutTo.empty() ? " >" + Path("out") : " " + stdoutTo;
        const int status = std::system((line + " 2>" + Path("err")).c_str());
        return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, stdoutTo.empty() ? ReadFile(Path("out")) : "",
                ReadFile(Path("err"))};
    }

private:
    CScratchDir m_dir;
};

// Exactly one line on standard error, starting with the program's name.
inline void ExpectOneLineReason(const CRun& r, const std::string& reason)
{
    EXPECT_EQ(r.err.rfind("qvl3d-solve: ", 0), 0u) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    EXPECT_HAS(r.err, reason);
}

// The raw value of a top-level field of the command's JSON (one field a
// line), "missing" when there is none.
inline std::string Field(const std::string& json, const std::string& name)
{
    const std::string key = "\n  \"" + name + "\": ";
    const size_t at = json.find(key);
    if (at == std::string::npos) return "missing";
    const size_t from = at + key.size();
    std::string value = json.substr(from, json.find('\n', from) - from);
    if (!value.empty() && value.back() == ',') value.pop_back();
    return value;
}

} // namespace test
} // namespace qvl3d

#endif
