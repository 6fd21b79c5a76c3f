// What qvl3d-solve writes and reads, at the edges: a write that fails (a
// file-size limit, a full disk, standard output on /dev/full or closed)
// leaves the previous file as it was and exits 3 with the reason; output
// files that are an input or each other are refused; file names with any
// bytes keep the JSON valid and every line one line; endless lines are
// refused.
#include "CommandRun.h"
#include "TestSupport.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

using namespace qvl3d;
using namespace qvl3d::test;

namespace {

// The names in a folder that start with a dot: a temporary file left behind.
std::vector<std::string> HiddenFiles(const std::string& folder)
{
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(folder))
        if (e.path().filename().string()[0] == '.') names.push_back(e.path().filename().string());
    return names;
}

// One line on standard error, naming the program.
void ExpectOneLineReason(const CRun& r, const std::string& reason)
{
    EXPECT_EQ(r.err.rfind("qvl3d-solve: ", 0), 0u) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    EXPECT_HAS(r.err, reason);
}

} // namespace

// ulimit -f counts 512- or 1024-byte blocks, depending on the shell: 16
// blocks hold the JSON (under 2 kB) but not the 16^3-cell solution (90 kB),
// 1 block neither. SIGXFSZ ignored or not, the write fails cleanly.
TEST_F(CommandTest, AFailedWriteKeepsThePreviousFileAndSaysWhy)
{
    const std::string x = Path("x.mtx"), json = Path("s.json"), svg = Path("p.svg");
    const struct {
        const char* shell;
        std::vector<std::string> args;
        std::string reason;
        std::vector<std::string> kept; // files that keep their old text
        bool jsonWritten;
    } runs[] = {
        {"ulimit -f 16; trap '' XFSZ; ",
         {"--output", x, "--json", json},
         "cannot write " + x + ": File too large",
         {x},
         true},
        {"ulimit -f 16; ", {"--output", x, "--json", json}, "cannot write " + x + ": File too large", {x}, true},
        {"ulimit -f 1; ", {"--json", json}, "cannot write " + json + ": File too large", {json}, false},
        {"ulimit -f 1; ", {"--plot", svg}, "cannot write " + svg + ": File too large", {svg}, false},
    };
    for (const auto& run : runs) {
        for (const std::string& f : {x, json, svg}) WriteFile(f, "old\n");
        std::vector<std::string> args = {"--grid", "16"};
        args.insert(args.end(), run.args.begin(), run.args.end());
        const CRun r = Run(args, run.shell, ">/dev/null"); // the summary is past the limit of 1 block
        SCOPED_TRACE(run.shell + run.args[0]);
        EXPECT_EQ(r.status, 3);
        ExpectOneLineReason(r, run.reason);
        for (const std::string& f : run.kept) EXPECT_EQ(ReadFile(f), "old\n") << f;
        if (run.jsonWritten) {
            EXPECT_EQ(Field(ReadFile(json), "exit_status"), "3");
        }
        EXPECT_EQ(HiddenFiles(Path("")), std::vector<std::string>{});
    }
}

// A full disk: a 32 kB tmpfs mounted in a mount namespace of the test's own
// (needs the right to mount; skipped without it).
TEST_F(CommandTest, AFullDiskKeepsThePreviousFile)
{
    const std::string mnt = Path("mnt"), x = Path("mnt/x.mtx");
    std::filesystem::create_directory(mnt);
    const std::string shell = "unshare -m sh -c 'mount -t tmpfs -o size=32k tmpfs " + mnt + " && echo old >" + x +
                              " && \"$0\" \"$@\"; status=$?; cat " + x + " >" + Path("kept") + "; ls -A " + mnt + " >" +
                              Path("listing") + "; exit $status' ";
    const CRun probe = Run({"--version"}, shell);
    if (probe.status != 0 || ReadFile(Path("kept")) != "old\n") GTEST_SKIP() << "cannot mount a tmpfs: " << probe.err;
    const CRun r = Run({"--grid", "16", "--output", x}, shell);
    EXPECT_EQ(r.status, 3);
    ExpectOneLineReason(r, "cannot write " + x + ": No space left on device");
    EXPECT_EQ(ReadFile(Path("kept")), "old\n");
    EXPECT_EQ(ReadFile(Path("listing")), "x.mtx\n") << "no temporary file left";
}

// The summary that cannot reach standard output is a failure like a file
// that cannot be written, and the JSON, written last, says so.
TEST_F(CommandTest, AFailedWriteToStandardOutputExitsThree)
{
    const struct {
        std::vector<std::string> args;
        const char* to;
        std::string reason;
    } runs[] = {
        {{"--grid", "8", "--json", Path("s.json")}, ">/dev/full", "No space left on device"},
        {{"--grid", "8", "--json", Path("s.json"), "--monitor"}, ">/dev/full", "No space left on device"},
        {{"--grid", "8", "--json", Path("s.json")}, ">&-", "it is closed"},
        {{"--help"}, ">/dev/full", "No space left on device"},
    };
    for (const auto& run : runs) {
        std::remove(Path("s.json").c_str());
        const CRun r = Run(run.args, "", run.to);
        SCOPED_TRACE(run.to + run.args[0]);
        EXPECT_EQ(r.status, 3);
        ExpectOneLineReason(r, "cannot write the summary to standard output: " + run.reason);
        if (run.args[0] == "--grid") {
            EXPECT_EQ(Field(ReadFile(Path("s.json")), "exit_status"), "3");
        }
    }
    // A device is written in place, and checked.
    const CRun full = Run({"--grid", "4", "--output", "/dev/full"});
    EXPECT_EQ(full.status, 3);
    ExpectOneLineReason(full, "cannot write /dev/full: No space left on device");
}

// The files are compared, not the names.
TEST_F(CommandTest, OutputFilesThatAreInputsOrEachOtherAreRefused)
{
    const std::string matrix =
        WriteFile(Path("a.mtx"), "%%MatrixMarket matrix coordinate real general\n1 1 1\n1 1 2\n");
    std::filesystem::create_symlink(matrix, Path("link.mtx"));
    std::filesystem::create_directory(Path("d"));
    const std::string dotted = Path("d/../a.mtx");
    const struct {
        std::vector<std::string> args;
        std::string reason;
    } runs[] = {
        {{"--matrix", matrix, "--output", dotted}, "--output " + dotted + " is the file --matrix reads"},
        {{"--matrix", matrix, "--rhs", matrix, "--json", Path("link.mtx")},
         "--json " + Path("link.mtx") + " is the file --matrix"},
        {{"--grid", "4", "--json", Path("same"), "--output", Path("d/../same")},
         "--output and --json name the same file, " + Path("d/../same")},
        {{"--grid", "4", "--plot", Path("p.svg"), "--json", Path("./p.svg")}, "--json and --plot name the same file"},
    };
    for (const auto& run : runs) {
        const CRun r = Run(run.args);
        EXPECT_EQ(r.status, 2) << r.err;
        ExpectOneLineReason(r, run.reason);
        EXPECT_EQ(ReadFile(matrix), "%%MatrixMarket matrix coordinate real general\n1 1 1\n1 1 2\n");
    }
    EXPECT_FALSE(std::filesystem::exists(Path("same")));
    // Devices take any number of outputs.
    EXPECT_EQ(Run({"--grid", "4", "--json", "/dev/null", "--output", "/dev/null"}).status, 0);
}

// A file name may hold any byte but NUL and '/': the JSON stays valid UTF-8
// with its control characters escaped, the summary and every message stay
// one line each.
TEST_F(CommandTest, FileNamesWithAnyBytesKeepTheJsonValidAndLinesWhole)
{
    const std::string name = Path("a\xff"
                                  "b\nc.mtx");
    WriteFile(name, "%%MatrixMarket matrix coordinate real general\n2 2 2\n1 1 2\n2 2 4\n");
    const CRun r = Run({"--matrix", name, "--json", Path("s.json")});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_HAS(r.out, "  problem             " + Path("a\\xffb\\x0ac.mtx") + " (real general)\n");
    EXPECT_HAS(Field(ReadFile(Path("s.json")), "problem"), "a\\ufffdb\\u000ac.mtx");

    const CRun missing = Run({"--matrix", Path("no\nsuch.mtx")});
    EXPECT_EQ(missing.status, 2);
    ExpectOneLineReason(missing, "cannot open " + Path("no\\x0asuch.mtx"));
    const CRun unwritable = Run({"--grid", "4", "--json", Path("no/dir\n/s.json")});
    EXPECT_EQ(unwritable.status, 3);
    ExpectOneLineReason(unwritable, "cannot write " + Path("no/dir\\x0a/s.json") + ": No such file or directory");
}

// A line with no end is refused at the limit, not read into memory.
TEST_F(CommandTest, EndlessLinesAreRefused)
{
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"--matrix", "/dev/zero"}, {"--grid", "4", "--exact", "/dev/zero"}}) {
        const CRun r = Run(args);
        EXPECT_EQ(r.status, 2);
        ExpectOneLineReason(r, "/dev/zero:1: the line is longer than 1048576 bytes, the longest accepted");
    }
}
