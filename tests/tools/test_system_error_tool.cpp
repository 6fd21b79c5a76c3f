// The system error tool: texts, the one printed line, the cut at the
// buffer's size, one buffer for every text, and copies that own theirs.
#include <qvl3d/QVLSystemErrorTool.h>
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>

using qvl3d::test::CaptureStdout;

class CQVLSystemErrorToolProbe {
public:
    static const char* Store(CQVLSystemErrorTool& t, const char* text) { return t.Store(text); }
    static const char* Buffer(const CQVLSystemErrorTool& t) { return t.m_pszBuffer; }
};
using P = CQVLSystemErrorToolProbe;

TEST(SystemErrorTool, TextsAndTheOneLineANonZeroSystemCodePrints)
{
    CQVLSystemErrorTool tool;
    const struct {
        bool lastError;
        int code;
        const char *printed, *text;
    } cases[] = {
        {true, 0, "", "Success"},
        {true, ENOENT, "SystemError:2 (No such file or directory)\n", "No such file or directory"},
        // A code the system has no message for still gets a well-defined text.
        {true, -7, "SystemError:-7 (Unknown error -7)\n", "Unknown error -7"},
        {false, EACCES, "", "Permission denied"},
        {false, 0, "", "Success"},
    };
    for (const auto& c : cases) {
        const char* text = nullptr;
        EXPECT_EQ(
            CaptureStdout([&] { text = c.lastError ? tool.LastError2String(c.code) : tool.Errno2String(c.code); }),
            c.printed);
        EXPECT_STREQ(text, c.text);
        EXPECT_EQ(text, P::Buffer(tool)); // every conversion shares the one buffer
    }
}

TEST(SystemErrorTool, LongTextsAreCutToTheBuffer)
{
    CQVLSystemErrorTool tool;
    const std::string fits(2047, 'y');
    EXPECT_EQ(std::string(P::Store(tool, ("A" + std::string(3000, 'x')).c_str())), "A" + std::string(2046, 'x'));
    EXPECT_EQ(std::string(P::Store(tool, fits.c_str())), fits);
    EXPECT_EQ(std::string(P::Store(tool, (fits + "z").c_str())), fits);
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
    const CQVLSystemErrorTool& same = assigned; // self-assignment, through a name the compiler does not flag
    assigned = same;
    source.Errno2String(EINTR); // the copies keep their own text
    for (const CQVLSystemErrorTool* copy : {&constructed, &assigned}) {
        EXPECT_NE(P::Buffer(*copy), P::Buffer(source));
        EXPECT_STREQ(P::Buffer(*copy), "No such file or directory");
    }
}
