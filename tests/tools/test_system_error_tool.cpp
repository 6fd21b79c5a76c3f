// The system error tool: texts, the one printed line, the cut at the
// buffer's size, and copies that own their buffers.
#include "ConsoleCapture.h"
#include "QVLSystemErrorTool.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>

using qvl3d::test::CaptureConsole;

class CQVLSystemErrorToolProbe {
public:
    static const char* Store(CQVLSystemErrorTool& t, const char* text) { return t.Store(text); }
    static const char* Buffer(const CQVLSystemErrorTool& t) { return t.m_pszBuffer; }
};

TEST(SystemErrorTool, CodeZeroHasATextAndPrintsNothing)
{
    CQVLSystemErrorTool tool;
    const char* text = nullptr;
    EXPECT_EQ(CaptureConsole([&] { text = tool.LastError2String(0); }), "");
    EXPECT_STREQ(text, "Success");
}

TEST(SystemErrorTool, NonZeroSystemCodePrintsExactlyOneLine)
{
    CQVLSystemErrorTool tool;
    const char* text = nullptr;
    EXPECT_EQ(CaptureConsole([&] { text = tool.LastError2String(ENOENT); }),
              "SystemError:2 (No such file or directory)\n");
    EXPECT_STREQ(text, "No such file or directory");
    // A code the system has no message for still gets a well-defined text.
    EXPECT_EQ(CaptureConsole([&] { text = tool.LastError2String(-7); }), "SystemError:-7 (Unknown error -7)\n");
    EXPECT_STREQ(text, "Unknown error -7");
}

TEST(SystemErrorTool, ErrnoTextsPrintNothing)
{
    CQVLSystemErrorTool tool;
    const char* text = nullptr;
    EXPECT_EQ(CaptureConsole([&] { text = tool.Errno2String(EACCES); }), "");
    EXPECT_STREQ(text, "Permission denied");
    EXPECT_STREQ(tool.Errno2String(0), "Success");
}

TEST(SystemErrorTool, ConversionsShareOneBuffer)
{
    CQVLSystemErrorTool tool;
    const char* first = tool.Errno2String(ENOENT);
    const char* second = tool.LastError2String(0);
    EXPECT_EQ(first, second);
    EXPECT_EQ(first, CQVLSystemErrorToolProbe::Buffer(tool));
    EXPECT_STREQ(first, "Success"); // the first text is overwritten
}

TEST(SystemErrorTool, LongTextsAreCutToTheBuffer)
{
    CQVLSystemErrorTool tool;
    const std::string longText(3000, 'x');
    const std::string fits(2047, 'y');
    const char* cut = CQVLSystemErrorToolProbe::Store(tool, (std::string("A") + longText).c_str());
    EXPECT_EQ(std::string(cut), "A" + std::string(2046, 'x'));
    EXPECT_EQ(std::string(CQVLSystemErrorToolProbe::Store(tool, fits.c_str())), fits);
    EXPECT_EQ(std::string(CQVLSystemErrorToolProbe::Store(tool, (fits + "z").c_str())), fits);
}

TEST(SystemErrorTool, CopiesOwnTheirBuffers)
{
    // Built and destroyed under the sanitizers: a shared buffer would be freed twice.
    CQVLSystemErrorTool source;
    source.Errno2String(ENOENT);
    CQVLSystemErrorTool constructed(source);
    CQVLSystemErrorTool assigned;
    assigned.Errno2String(EACCES);
    assigned = source;
    assigned = assigned;
    EXPECT_NE(CQVLSystemErrorToolProbe::Buffer(constructed), CQVLSystemErrorToolProbe::Buffer(source));
    EXPECT_NE(CQVLSystemErrorToolProbe::Buffer(assigned), CQVLSystemErrorToolProbe::Buffer(source));
    EXPECT_STREQ(CQVLSystemErrorToolProbe::Buffer(constructed), "No such file or directory");
    EXPECT_STREQ(CQVLSystemErrorToolProbe::Buffer(assigned), "No such file or directory");
    source.Errno2String(EINTR); // the copies keep their own text
    EXPECT_STREQ(CQVLSystemErrorToolProbe::Buffer(constructed), "No such file or directory");
    EXPECT_STREQ(CQVLSystemErrorToolProbe::Buffer(assigned), "No such file or directory");
}
