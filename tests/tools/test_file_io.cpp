// The file tool: FILE* opens in two phases, stream opens in every mode with
// the locales they set, closes, deletes, the report lines at level 2 and the
// silence below it.
#include <qvl3d/QVLFileIO.h>
#include <qvl3d/QVLLocale.h>
#include "TestSupport.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <locale>
#include <string>
#include <thread>

using namespace qvl3d::test;

class CQVLFileIOProbe {
public:
    static const void* ErrorTool(const CQVLFileIO& f) { return f.m_pSystemErrorTool; }
    static const void* Printer(const CQVLFileIO& f) { return f.m_pUnicodeTool; }
};

namespace {

int Count(const std::string& text, const std::string& part)
{
    int n = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size())) ++n;
    return n;
}

// Runs f with standard output going through a pipe whose reading thread hands
// every complete line to onLine the moment it is written (the tool flushes
// each report line); returns all that was written.
std::string CaptureLines(const std::function<void()>& f, const std::function<void(const std::string&)>& onLine)
{
    int fds[2];
    if (pipe(fds) != 0) std::abort();
    std::fflush(stdout);
    const int saved = dup(STDOUT_FILENO);
    dup2(fds[1], STDOUT_FILENO);
    close(fds[1]); // standard output is now the only write end: restoring it ends the reader
    std::string text;
    std::thread reader([&] {
        std::string line;
        for (char c; read(fds[0], &c, 1) == 1;) {
            text.push_back(c);
            if (c != '\n') {
                line.push_back(c);
            } else {
                onLine(line);
                line.clear();
            }
        }
    });
    f();
    std::fflush(stdout);
    dup2(saved, STDOUT_FILENO);
    close(saved);
    reader.join();
    close(fds[0]);
    return text;
}

class FileIO : public testing::Test {
protected:
    void SetUp() override { std::locale::global(std::locale::classic()); }

    CScratchDir dir;
    std::string existing = dir.Path("existing.txt");
    std::string unopenable = dir.Path("missing-folder/never.txt"); // root cannot open it either
    CQVLFileIO io;
};

} // namespace

// Every call that reports, in order on one tool: the lines it prints at
// level 2 (levels below print nothing), its result, the error value it
// stores.
TEST_F(FileIO, ResultsErrorValuesAndReportLines)
{
    const std::string E = "[" + existing + "]", U = "[" + unopenable + "]";
    const std::string phaseOneTry = "SystemError:2 (No such file or directory)\n"
                                    "m_imyid=7, Errno=[No such file or directory], "
                                    "LastError=[No such file or directory]\n"
                                    "m_imyid=7, iMaxTry=2, fopen_s() trying open file" +
                                    U + "\n";
    const std::string phaseTwoTry = "m_imyid=7, fopen() trying open file" + U + "\n";
    for (int level : {2, 1, 0}) {
        WriteFile(existing, "data");
        io.Init(7, level);
        FILE* fp = nullptr;
        std::ifstream in;
        std::ofstream out;
        const struct {
            std::function<int()> call;
            std::string text;
            int result, error;
        } steps[] = {
            {[&] { return io.QVLOpenFile(fp, existing.c_str(), "r", 1, 3); },
             "m_imyid=7, succeeded in opening file" + E + "\n", 0, 0},
            {[&] {
                 char buffer[8] = {};
                 EXPECT_EQ(std::fread(buffer, 1, 4, fp), 4u);
                 EXPECT_STREQ(buffer, "data");
                 return io.QVLCloseFile(fp, existing.c_str());
             },
             "m_imyid=7, succeeded in closing file" + E + "\n", 0, 0},
            // Both phases, every try reported.
            {[&] { return io.QVLOpenFile(fp, unopenable.c_str(), "r", 1, 2); },
             phaseOneTry + phaseOneTry + "m_imyid=7, error=2, filename=" + U + "\n" + phaseTwoTry + phaseTwoTry, ENOENT,
             ENOENT},
            // No tries: no attempt, even at a file that exists.
            {[&] { return io.QVLOpenFile(fp, existing.c_str(), "r", 1000, 0); },
             "m_imyid=7, error=1, filename=" + E + "\n", 1, 1},
            {[&] { return io.QVLCloseFile(fp, "none"); }, "", 0, 0}, // a null handle stores 0
            {[&] { return io.QVLOpenFile(in, existing.c_str(), QVLOpenText, 1000, 0); }, "", 1, 1},
            {[&] { return io.QVLOpenFile(in, unopenable.c_str(), QVLOpenText, 1, 3); },
             "open " + U + " failed. Error=1\nopen " + U + " failed. Error=1\nopen " + U + " failed. Error=1\n", 1, 1},
            // A mode outside 0..3 opens nothing, even a file that exists.
            {[&] {
                 const int result = io.QVLOpenFile(out, existing.c_str(), static_cast<QVLOpenMode>(7), 1, 2);
                 EXPECT_EQ(ReadFile(existing), "data");
                 return result;
             },
             "open " + E + " failed. Error=1\nopen " + E + " failed. Error=1\n", 1, 1},
            // /dev/full takes the open but fails every write, so the close's flush fails.
            {[&] {
                 FILE* full = std::fopen("/dev/full", "w");
                 std::fputs("lost", full);
                 return io.QVLCloseFile(full, "/dev/full");
             },
             "[/dev/full] can not be closed. Error code=-1\n", -1, -1},
            {[&] { return io.QVLDeleteFile(existing.c_str(), 1); }, "", 0, 0},
            {[&] { return io.QVLDeleteFile(existing.c_str(), 1); }, "Failed to remove file" + E + ", iStatus=-1\n", -1,
             -1},
        };
        for (const auto& step : steps) {
            int result = -99;
            EXPECT_EQ(CaptureStdout([&] { result = step.call(); }), level >= 2 ? step.text : "") << "level " << level;
            EXPECT_EQ(result, step.result) << step.text;
            EXPECT_EQ(io.GetErrorValue(), step.error) << step.text;
        }
        EXPECT_EQ(fp, nullptr);
        EXPECT_TRUE(in.fail());
        EXPECT_FALSE(out.is_open());
        EXPECT_FALSE(std::filesystem::exists(existing));
    }
}

TEST_F(FileIO, FileAppearingDuringPhaseTwoIsOpened)
{
    // The file is created as soon as the first plain-open try of phase two
    // is reported, so phase one never sees it. The tries left give it
    // (kTries - 1) pauses of kPauseMs to do so.
    constexpr int kTries = 8;
    constexpr int kPauseMs = 250;
    const std::string late = dir.Path("late.txt"), staging = dir.Path("late.tmp");
    const std::string firstPhaseTwoTry = "m_imyid=1, fopen() trying open file[" + late + "]";
    io.Init(1, 2);
    FILE* fp = nullptr;
    int result = -1;
    bool created = false;
    const std::string out = CaptureLines([&] { result = io.QVLOpenFile(fp, late.c_str(), "r", kPauseMs, kTries); },
                                         [&](const std::string& line) {
                                             if (created || line != firstPhaseTwoTry) return;
                                             WriteFile(staging, "late");
                                             std::rename(staging.c_str(), late.c_str()); // appears whole
                                             created = true;
                                         });
    EXPECT_EQ(result, 0);
    EXPECT_EQ(io.GetErrorValue(), 0);
    ASSERT_NE(fp, nullptr);
    char buffer[8] = {};
    EXPECT_EQ(std::fread(buffer, 1, 4, fp), 4u);
    EXPECT_STREQ(buffer, "late");
    io.QVLCloseFile(fp, late.c_str());

    EXPECT_EQ(Count(out, "fopen_s() trying open file[" + late + "]\n"), kTries);
    EXPECT_EQ(Count(out, "m_imyid=1, error=2, filename=[" + late + "]\n"), 1);
    const int phaseTwoFailures = Count(out, firstPhaseTwoTry + "\n");
    EXPECT_GE(phaseTwoFailures, 1);
    EXPECT_LT(phaseTwoFailures, kTries);
    const std::string success = "m_imyid=1, succeeded in opening file[" + late + "]\n";
    ASSERT_GE(out.size(), success.size());
    EXPECT_EQ(out.substr(out.size() - success.size()), success);
}

TEST_F(FileIO, StreamModes)
{
    // Output truncates or appends, and creates. An open of a stream already
    // open fails silently and leaves it on its file, at the same position.
    io.Init(0, 2);
    std::ofstream out;
    const std::string other = dir.Path("other.txt");
    for (const auto& [mode, text] : std::initializer_list<std::pair<QVLOpenMode, const char*>>{
             {QVLOpenBinary, "abc"}, {QVLOpenText, "xy"}, {QVLOpenAppendBinary, "12"}, {QVLOpenAppendText, "!"}}) {
        int opened = -1, again = -1;
        EXPECT_EQ(CaptureStdout([&, &mode = mode, &text = text] {
                      opened = io.QVLOpenFile(out, existing.c_str(), mode, 1, 1);
                      out << text;
                      again = io.QVLOpenFile(out, other.c_str(), QVLOpenText, 1, 1);
                      out << text;
                  }),
                  "m_imyid=0, succeeded in opening file[" + existing + "]\n")
            << mode;
        EXPECT_EQ(opened, 0);
        EXPECT_EQ(again, 1);
        EXPECT_EQ(io.GetErrorValue(), 1);
        EXPECT_EQ(io.QVLCloseFile(out), 0);
    }
    EXPECT_EQ(ReadFile(existing), "xyxy1212!!");
    EXPECT_FALSE(std::filesystem::exists(other));

    // Input reads, imbued with the classic locale; the close clears the state for reuse.
    WriteFile(existing, "7 8");
    for (QVLOpenMode mode : {QVLOpenBinary, QVLOpenText}) {
        std::ifstream in;
        in.imbue(std::locale("C.UTF-8"));
        ASSERT_EQ(io.QVLOpenFile(in, existing.c_str(), mode, 1, 1), 0) << mode;
        EXPECT_EQ(in.getloc().name(), "C");
        int a = 0, b = 0;
        in >> a >> b;
        EXPECT_EQ(a + b, 15) << mode;
        EXPECT_EQ(io.QVLCloseFile(in), 0);
        EXPECT_FALSE(in.is_open());
        EXPECT_TRUE(in.good()); // end of file included
    }
    // Input with append opens read-and-append, creating a missing file.
    for (QVLOpenMode mode : {QVLOpenAppendBinary, QVLOpenAppendText}) {
        const std::string created = dir.Path("created" + std::to_string(mode));
        std::ifstream in;
        EXPECT_EQ(io.QVLOpenFile(in, created.c_str(), mode, 1, 1), 0) << mode;
        EXPECT_TRUE(in.is_open());
        EXPECT_TRUE(std::filesystem::exists(created));
        io.QVLCloseFile(in);
    }
}

TEST_F(FileIO, StreamOpensLeaveTheGlobalLocaleAtC)
{
    // The environment's default is set while opening; one naming a missing
    // locale falls back to C.
    const char* old = std::getenv("LC_ALL");
    const std::string saved = old ? old : "";
    WriteFile(existing, "data");
    for (auto [env, expected] : std::initializer_list<std::pair<const char*, const char*>>{
             {"C.UTF-8", "C.UTF-8"}, {"xx_XX.NoSuchCharset", "C"}}) {
        setenv("LC_ALL", env, 1);
        EXPECT_EQ(CQVLLocale().GetSystemDefaultLocale(), expected);
        auto afterOpen = [&](auto&& open) {
            std::locale::global(std::locale("C.UTF-8"));
            open();
            return std::locale().name();
        };
        std::ifstream in;
        std::ofstream out;
        int opened = -1;
        EXPECT_EQ(afterOpen([&] { opened = io.QVLOpenFile(in, existing.c_str(), QVLOpenText, 1, 1); }), "C") << env;
        EXPECT_EQ(opened, 0) << env;
        EXPECT_EQ(afterOpen([&] { io.QVLOpenFile(in, existing.c_str(), QVLOpenText, 1, 1); }), "C");    // already open
        EXPECT_EQ(afterOpen([&] { io.QVLOpenFile(out, unopenable.c_str(), QVLOpenText, 1, 1); }), "C"); // failed
        EXPECT_EQ(afterOpen([&] { io.QVLOpenFile(out, existing.c_str(), QVLOpenText, 1, 0); }), "C");   // no tries
    }
    if (old) {
        setenv("LC_ALL", saved.c_str(), 1);
    } else {
        unsetenv("LC_ALL");
    }
}

TEST_F(FileIO, StreamClosesReportUnwrittenOutput)
{
    std::ifstream never;
    EXPECT_EQ(io.QVLCloseFile(never), 0);
    std::ofstream out;
    ASSERT_EQ(io.QVLOpenFile(out, "/dev/full", QVLOpenText, 1, 1), 0);
    out << "lost";
    EXPECT_EQ(io.QVLCloseFile(out), 1); // unwritten output is not a success
    EXPECT_FALSE(out.is_open());
    EXPECT_TRUE(out.good()); // yet the stream is ready for reuse
    EXPECT_EQ(io.QVLOpenFile(out, existing.c_str(), QVLOpenText, 1, 1), 0);
}

TEST_F(FileIO, CopiesOwnTheirToolsAndKeepTheSettings)
{
    // Built and destroyed under the sanitizers: shared tools would be freed twice.
    io.Init(4, 2);
    io.QVLDeleteFile(unopenable.c_str(), 0);
    CQVLFileIO constructed(io);
    CQVLFileIO assigned;
    assigned = io;
    const CQVLFileIO& same = assigned; // self-assignment, through a name the compiler does not flag
    assigned = same;
    for (const CQVLFileIO* copy : {&constructed, &assigned}) {
        EXPECT_NE(CQVLFileIOProbe::ErrorTool(*copy), CQVLFileIOProbe::ErrorTool(io));
        EXPECT_NE(CQVLFileIOProbe::Printer(*copy), CQVLFileIOProbe::Printer(io));
        EXPECT_EQ(copy->GetErrorValue(), -1);
    }
    WriteFile(existing, "data");
    FILE* fp = nullptr;
    EXPECT_EQ(CaptureStdout([&] { assigned.QVLOpenFile(fp, existing.c_str(), "r", 1, 1); }),
              "m_imyid=4, succeeded in opening file[" + existing + "]\n");
    constructed.QVLCloseFile(fp, existing.c_str());
}
