// What qvl3d-solve writes and reads, at the edges: a write that fails (a
// file-size limit, a full device, standard output on /dev/full or closed)
// leaves the previous file as it was and exits 3 with the reason; output
// files that are an input or each other are refused; file names with any
// bytes keep the JSON valid and every line one line.
#include "CommandRun.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <filesystem>

using namespace qvl3d;
using namespace qvl3d::test;

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
        for (const auto& e : std::filesystem::directory_iterator(Path("")))
            EXPECT_NE(e.path().filename().string()[0], '.') << "a temporary file left behind: " << e.path();
    }
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

// The files are compared, not the names (how, links included, is
// SameFile's, tests/host): an output that is an input, two outputs that are
// one file.
TEST_F(CommandTest, OutputFilesThatAreInputsOrEachOtherAreRefused)
{
    const std::string matrix =
        WriteFile(Path("a.mtx"), "%%MatrixMarket matrix coordinate real general\n1 1 1\n1 1 2\n");
    std::filesystem::create_directory(Path("d"));
    const std::string dotted = Path("d/../a.mtx");
    const struct {
        std::vector<std::string> args;
        std::string reason;
    } runs[] = {
        {{"--matrix", matrix, "--output", dotted}, "--output " + dotted + " is the file --matrix reads"},
        {{"--grid", "4", "--json", Path("same"), "--output", Path("d/../same")},
         "--output and --json name the same file, " + Path("d/../same")},
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
