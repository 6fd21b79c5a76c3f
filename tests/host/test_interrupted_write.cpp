// A file being replaced when its writer is stopped by a signal or killed:
// the target stays as it was and nothing is left beside it.
#include "Files.h"
#include "TestSupport.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

using namespace qvl3d::host;
using namespace qvl3d::test;

namespace {

std::vector<std::string> FolderNames(const std::string& folder)
{
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(folder)) names.push_back(e.path().filename().string());
    return names;
}

} // namespace

TEST(Files, AWriterStoppedBeforeItsCommitLeavesNothingBehind)
{
    for (const int sig : {SIGTERM, SIGKILL}) {
        const CScratchDir dir;
        const std::string path = WriteFile(dir.Path("out.mtx"), "old\n");
        int ready[2];
        ASSERT_EQ(::pipe(ready), 0);
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            CReplacingFile f(path);
            f.Write(std::string(1 << 20, 'x'));
            const char byte = 1;
            if (::write(ready[1], &byte, 1) != 1) ::_exit(2);
            ::pause(); // stopped here, before the commit
            ::_exit(0);
        }
        char byte = 0;
        ASSERT_EQ(::read(ready[0], &byte, 1), 1);
        ::kill(child, sig);
        int status = 0;
        ::waitpid(child, &status, 0);
        ::close(ready[0]);
        ::close(ready[1]);
        ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == sig);
        EXPECT_EQ(FolderNames(dir.Path("")), std::vector<std::string>{"out.mtx"}) << "signal " << sig;
        EXPECT_EQ(ReadFile(path), "old\n");
    }
}
