// The file tool: FILE* opens in two phases, stream opens in every mode with
// the locales they set, closes, deletes, the report lines at level 2 and the
// silence below it.
#include "ConsoleCapture.h"
#include "QVLFileIO.h"
#include "QVLLocale.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <locale>
#include <string>

using namespace qvl3d::test;

class CQVLFileIOProbe {
public:
    static const void* ErrorTool(const CQVLFileIO& f) { return f.m_pSystemErrorTool; }
    static const void* Printer(const CQVLFileIO& f) { return f.m_pUnicodeTool; }
};

namespace {

using Clock = std::chrono::steady_clock;

long MillisecondsSince(Clock::time_point start)
{
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

int Count(const std::string& text, const std::string& part)
{
    int n = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size())) ++n;
    return n;
}

// Sets an environment variable for one test and puts the old value back.
class CScopedEnv {
public:
    CScopedEnv(const char* name, const char* value) : m_name(name)
    {
        const char* old = std::getenv(name);
        m_had = old != nullptr;
        if (m_had) m_old = old;
        setenv(name, value, 1);
    }
    ~CScopedEnv()
    {
        if (m_had)
            setenv(m_name.c_str(), m_old.c_str(), 1);
        else
            unsetenv(m_name.c_str());
    }

private:
    std::string m_name, m_old;
    bool m_had = false;
};

class FileIO : public testing::Test {
protected:
    void SetUp() override { std::locale::global(std::locale::classic()); }

    CScratchDir dir;
    std::string existing = dir.Path("existing.txt");
    std::string unopenable = dir.Path("missing-folder/never.txt"); // root cannot open it either
    CQVLFileIO io;
};

} // namespace

TEST_F(FileIO, OpenAndCloseAFileReportSuccess)
{
    WriteWholeFile(existing, "data");
    io.Init(7, 2);
    FILE* fp = nullptr;
    int result = -1;
    EXPECT_EQ(CaptureConsole([&] { result = io.QVLOpenFile(fp, existing.c_str(), "r", 1, 3); }),
              "m_imyid=7, succeeded in opening file[" + existing + "]\n");
    EXPECT_EQ(result, 0);
    EXPECT_EQ(io.GetErrorValue(), 0);
    ASSERT_NE(fp, nullptr);
    char buffer[8] = {};
    EXPECT_EQ(std::fread(buffer, 1, 4, fp), 4u);
    EXPECT_STREQ(buffer, "data");
    EXPECT_EQ(CaptureConsole([&] { result = io.QVLCloseFile(fp, existing.c_str()); }),
              "m_imyid=7, succeeded in closing file[" + existing + "]\n");
    EXPECT_EQ(result, 0);
    EXPECT_EQ(fp, nullptr);
}

TEST_F(FileIO, UnopenablePathTriesBothPhasesAndReportsEveryTry)
{
    io.Init(3, 2);
    FILE* fp = nullptr;
    int result = -1;
    const auto start = Clock::now();
    const std::string out = CaptureConsole([&] { result = io.QVLOpenFile(fp, unopenable.c_str(), "r", 20, 2); });
    EXPECT_GE(MillisecondsSince(start), 4 * 20); // a pause after every failed try of both phases
    EXPECT_EQ(result, ENOENT);
    EXPECT_EQ(io.GetErrorValue(), ENOENT);
    EXPECT_EQ(fp, nullptr);
    const std::string phaseOneTry = "SystemError:2 (No such file or directory)\n"
                                    "m_imyid=3, Errno=[No such file or directory], "
                                    "LastError=[No such file or directory]\n"
                                    "m_imyid=3, iMaxTry=2, fopen_s() trying open file[" +
                                    unopenable + "]\n";
    const std::string phaseTwoTry = "m_imyid=3, fopen() trying open file[" + unopenable + "]\n";
    EXPECT_EQ(out, phaseOneTry + phaseOneTry + "m_imyid=3, error=2, filename=[" + unopenable + "]\n" + phaseTwoTry +
                       phaseTwoTry);
}

TEST_F(FileIO, FileAppearingDuringPhaseTwoIsOpened)
{
    // A second thread creates the file as soon as the first plain-open try
    // of phase two is reported, so phase one never sees it. The tries left
    // give it (kTries - 1) pauses of kPauseMs to do so.
    constexpr int kTries = 8;
    constexpr int kPauseMs = 250;
    const std::string late = dir.Path("late.txt");
    const std::string staging = dir.Path("late.tmp");
    const std::string firstPhaseTwoTry = "m_imyid=1, fopen() trying open file[" + late + "]";
    io.Init(1, 2);
    FILE* fp = nullptr;
    int result = -1;
    bool created = false;
    CConsoleCapture capture([&](const std::string& line) {
        if (created || line != firstPhaseTwoTry) return;
        WriteWholeFile(staging, "late");
        std::rename(staging.c_str(), late.c_str()); // appears whole
        created = true;
    });
    result = io.QVLOpenFile(fp, late.c_str(), "r", kPauseMs, kTries);
    const std::string out = capture.Finish();

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

TEST_F(FileIO, NoTriesMeansNoAttempt)
{
    WriteWholeFile(existing, "data"); // would open, if anything were tried
    io.Init(3, 2);
    FILE* fp = nullptr;
    int result = -1;
    EXPECT_EQ(CaptureConsole([&] { result = io.QVLOpenFile(fp, existing.c_str(), "r", 1000, 0); }),
              "m_imyid=3, error=1, filename=[" + existing + "]\n");
    EXPECT_EQ(result, 1);
    EXPECT_EQ(io.GetErrorValue(), 1);
    EXPECT_EQ(fp, nullptr);

    std::ifstream in;
    EXPECT_EQ(CaptureConsole([&] { result = io.QVLOpenFile(in, existing.c_str(), QVLOpenText, 1000, 0); }), "");
    EXPECT_EQ(result, 1);
    EXPECT_FALSE(in.is_open());
}

TEST_F(FileIO, OutputStreamModesTruncateOrAppend)
{
    std::ofstream out;
    ASSERT_EQ(io.QVLOpenFile(out, existing.c_str(), QVLOpenBinary, 1, 1), 0); // creates
    out << "abc";
    EXPECT_EQ(io.QVLCloseFile(out), 0);
    ASSERT_EQ(io.QVLOpenFile(out, existing.c_str(), QVLOpenText, 1, 1), 0); // truncates
    out << "xy";
    io.QVLCloseFile(out);
    EXPECT_EQ(ReadWholeFile(existing), "xy");
    ASSERT_EQ(io.QVLOpenFile(out, existing.c_str(), QVLOpenAppendBinary, 1, 1), 0);
    out << "12";
    io.QVLCloseFile(out);
    ASSERT_EQ(io.QVLOpenFile(out, existing.c_str(), QVLOpenAppendText, 1, 1), 0);
    out << "!";
    io.QVLCloseFile(out);
    EXPECT_EQ(ReadWholeFile(existing), "xy12!");
    EXPECT_EQ(io.GetErrorValue(), 0);
}

TEST_F(FileIO, InputStreamModesReadAndAppendModesCreate)
{
    WriteWholeFile(existing, "7 8");
    for (QVLOpenMode mode : {QVLOpenBinary, QVLOpenText}) {
        std::ifstream in;
        in.imbue(std::locale("C.UTF-8"));
        ASSERT_EQ(io.QVLOpenFile(in, existing.c_str(), mode, 1, 1), 0) << mode;
        EXPECT_EQ(in.getloc().name(), "C"); // imbued with the classic locale
        int a = 0, b = 0;
        in >> a >> b;
        EXPECT_EQ(a + b, 15) << mode;
        EXPECT_EQ(io.QVLCloseFile(in), 0);
        EXPECT_FALSE(in.is_open());
        EXPECT_TRUE(in.good()); // cleared for reuse, end of file included
    }
    // Input with append opens read-and-append, creating a missing file.
    for (QVLOpenMode mode : {QVLOpenAppendBinary, QVLOpenAppendText}) {
        const std::string created = dir.Path("created" + std::to_string(mode));
        std::ifstream in;
        EXPECT_EQ(io.QVLOpenFile(in, created.c_str(), mode, 1, 1), 0) << mode;
        EXPECT_TRUE(in.is_open());
        EXPECT_TRUE(FileExists(created));
        io.QVLCloseFile(in);
    }
}

TEST_F(FileIO, FailedStreamOpenRetriesAndReports)
{
    io.Init(2, 2);
    std::ifstream in;
    int result = -1;
    const auto start = Clock::now();
    const std::string out =
        CaptureConsole([&] { result = io.QVLOpenFile(in, unopenable.c_str(), QVLOpenText, 20, 3); });
    EXPECT_GE(MillisecondsSince(start), 3 * 20);
    const std::string line = "open [" + unopenable + "] failed. Error=1\n";
    EXPECT_EQ(out, line + line + line);
    EXPECT_EQ(result, 1);
    EXPECT_EQ(io.GetErrorValue(), 1);
    EXPECT_TRUE(in.fail());

    // A mode outside 0..3 opens nothing, even a file that exists.
    WriteWholeFile(existing, "data");
    std::ofstream bad;
    const std::string badLine = "open [" + existing + "] failed. Error=1\n";
    EXPECT_EQ(
        CaptureConsole([&] { result = io.QVLOpenFile(bad, existing.c_str(), static_cast<QVLOpenMode>(7), 1, 2); }),
        badLine + badLine);
    EXPECT_EQ(result, 1);
    EXPECT_FALSE(bad.is_open());
    EXPECT_EQ(ReadWholeFile(existing), "data");
}

TEST_F(FileIO, AlreadyOpenStreamIsLeftAlone)
{
    io.Init(0, 2);
    std::ofstream out;
    ASSERT_EQ(io.QVLOpenFile(out, existing.c_str(), QVLOpenText, 1, 1), 0);
    out << "a";
    std::locale::global(std::locale("C.UTF-8"));
    int result = -1;
    const std::string other = dir.Path("other.txt");
    EXPECT_EQ(CaptureConsole([&] { result = io.QVLOpenFile(out, other.c_str(), QVLOpenText, 1, 1); }), "");
    EXPECT_EQ(result, 1);
    EXPECT_EQ(io.GetErrorValue(), 1);
    EXPECT_EQ(std::locale().name(), "C");
    EXPECT_FALSE(FileExists(other));
    out << "b"; // still the first file, same position
    io.QVLCloseFile(out);
    EXPECT_EQ(ReadWholeFile(existing), "ab");
}

TEST_F(FileIO, StreamOpensLeaveTheGlobalLocaleAtC)
{
    const CScopedEnv env("LC_ALL", "C.UTF-8"); // the environment's default while opening
    EXPECT_EQ(CQVLLocale().GetSystemDefaultLocale(), "C.UTF-8");
    WriteWholeFile(existing, "data");
    auto afterOpen = [&](auto&& open) {
        std::locale::global(std::locale("C.UTF-8"));
        open();
        return std::locale().name();
    };
    std::ifstream in;
    std::ofstream out;
    EXPECT_EQ(afterOpen([&] { io.QVLOpenFile(in, existing.c_str(), QVLOpenText, 1, 1); }), "C");    // opened
    EXPECT_EQ(afterOpen([&] { io.QVLOpenFile(in, existing.c_str(), QVLOpenText, 1, 1); }), "C");    // already open
    EXPECT_EQ(afterOpen([&] { io.QVLOpenFile(out, unopenable.c_str(), QVLOpenText, 1, 1); }), "C"); // failed
    EXPECT_EQ(afterOpen([&] { io.QVLOpenFile(out, existing.c_str(), QVLOpenText, 1, 0); }), "C");   // no tries
}

TEST_F(FileIO, EnvironmentNamingAMissingLocaleFallsBackToC)
{
    const CScopedEnv env("LC_ALL", "xx_XX.NoSuchCharset");
    EXPECT_EQ(CQVLLocale().GetSystemDefaultLocale(), "C");
    WriteWholeFile(existing, "data");
    std::ifstream in;
    EXPECT_EQ(io.QVLOpenFile(in, existing.c_str(), QVLOpenText, 1, 1), 0);
}

TEST_F(FileIO, ClosingANullHandleStoresZero)
{
    io.Init(0, 2);
    io.QVLDeleteFile(unopenable.c_str(), 0); // leaves -1 behind
    ASSERT_EQ(io.GetErrorValue(), -1);
    FILE* fp = nullptr;
    EXPECT_EQ(CaptureConsole([&] { EXPECT_EQ(io.QVLCloseFile(fp, "none"), 0); }), "");
    EXPECT_EQ(io.GetErrorValue(), 0);
    std::ifstream never;
    EXPECT_EQ(io.QVLCloseFile(never), 0);
}

TEST_F(FileIO, FailedClosesAreReported)
{
    // /dev/full takes the open but fails every write, so the close's flush fails.
    if (!FileExists("/dev/full")) GTEST_SKIP() << "no /dev/full";
    io.Init(5, 2);
    FILE* fp = std::fopen("/dev/full", "w");
    ASSERT_NE(fp, nullptr);
    std::fputs("lost", fp);
    int result = 0;
    EXPECT_EQ(CaptureConsole([&] { result = io.QVLCloseFile(fp, "/dev/full"); }),
              "[/dev/full] can not be closed. Error code=-1\n");
    EXPECT_EQ(result, -1);
    EXPECT_EQ(io.GetErrorValue(), -1);
    EXPECT_EQ(fp, nullptr);

    std::ofstream out;
    ASSERT_EQ(io.QVLOpenFile(out, "/dev/full", QVLOpenText, 1, 1), 0);
    out << "lost";
    EXPECT_EQ(io.QVLCloseFile(out), 1); // unwritten output is not a success
    EXPECT_FALSE(out.is_open());
    EXPECT_TRUE(out.good()); // yet the stream is ready for reuse
    EXPECT_EQ(io.QVLOpenFile(out, existing.c_str(), QVLOpenText, 1, 1), 0);
}

TEST_F(FileIO, DeleteAlwaysPausesFirst)
{
    io.Init(4, 2);
    WriteWholeFile(existing, "data");
    int result = -1;
    auto start = Clock::now();
    EXPECT_EQ(CaptureConsole([&] { result = io.QVLDeleteFile(existing.c_str(), 60); }), "");
    EXPECT_GE(MillisecondsSince(start), 60);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(io.GetErrorValue(), 0);
    EXPECT_FALSE(FileExists(existing));

    start = Clock::now();
    EXPECT_EQ(CaptureConsole([&] { result = io.QVLDeleteFile(existing.c_str(), 60); }),
              "Failed to remove file[" + existing + "], iStatus=-1\n");
    EXPECT_GE(MillisecondsSince(start), 60);
    EXPECT_EQ(result, -1);
    EXPECT_EQ(io.GetErrorValue(), -1);
}

TEST_F(FileIO, LevelsBelowTwoAreSilent)
{
    WriteWholeFile(existing, "data");
    for (int level : {0, 1}) {
        io.Init(9, level);
        const std::string out = CaptureConsole([&] {
            FILE* fp = nullptr;
            EXPECT_EQ(io.QVLOpenFile(fp, unopenable.c_str(), "r", 1, 2), ENOENT);
            EXPECT_EQ(io.QVLOpenFile(fp, existing.c_str(), "r", 1, 0), 1);
            EXPECT_EQ(io.QVLOpenFile(fp, existing.c_str(), "r", 1, 1), 0);
            io.QVLCloseFile(fp, existing.c_str());
            if (FILE* full = std::fopen("/dev/full", "w")) {
                std::fputs("lost", full);
                EXPECT_EQ(io.QVLCloseFile(full, "/dev/full"), -1);
            }
            std::ifstream in;
            EXPECT_EQ(io.QVLOpenFile(in, unopenable.c_str(), QVLOpenText, 1, 2), 1);
            EXPECT_EQ(io.QVLOpenFile(in, existing.c_str(), QVLOpenText, 1, 1), 0);
            io.QVLCloseFile(in);
            EXPECT_EQ(io.QVLDeleteFile(unopenable.c_str(), 0), -1);
        });
        EXPECT_EQ(out, "") << "level " << level;
    }
}

TEST_F(FileIO, CopiesOwnTheirToolsAndKeepTheSettings)
{
    // Built and destroyed under the sanitizers: shared tools would be freed twice.
    io.Init(4, 2);
    io.QVLDeleteFile(unopenable.c_str(), 0);
    CQVLFileIO constructed(io);
    CQVLFileIO assigned;
    assigned = io;
    assigned = assigned;
    for (const CQVLFileIO* copy : {&constructed, &assigned}) {
        EXPECT_NE(CQVLFileIOProbe::ErrorTool(*copy), CQVLFileIOProbe::ErrorTool(io));
        EXPECT_NE(CQVLFileIOProbe::Printer(*copy), CQVLFileIOProbe::Printer(io));
        EXPECT_EQ(copy->GetErrorValue(), -1);
    }
    WriteWholeFile(existing, "data");
    FILE* fp = nullptr;
    EXPECT_EQ(CaptureConsole([&] { assigned.QVLOpenFile(fp, existing.c_str(), "r", 1, 1); }),
              "m_imyid=4, succeeded in opening file[" + existing + "]\n");
    constructed.QVLCloseFile(fp, existing.c_str());
}
