// The host's file helpers: a file replaced whole or not at all, files
// compared as files, and text shown on one line with valid UTF-8.
#include "Files.h"
#include "TestSupport.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

using namespace qvl3d::host;
using namespace qvl3d::test;

TEST(Files, AReplacementIsAllOrNothing)
{
    const CScratchDir dir;
    const std::string path = WriteFile(dir.Path("f"), "old\n");
    ::chmod(path.c_str(), 0640);
    {
        CReplacingFile f(path);
        f.Write("half");
    } // no Commit: abandoned
    EXPECT_EQ(ReadFile(path), "old\n");
    {
        CReplacingFile f(path);
        f.Printf("%d %s\n", 1, "new");
        EXPECT_EQ(ReadFile(path), "old\n") << "the target changes only at the commit";
        f.Commit();
    }
    EXPECT_EQ(ReadFile(path), "1 new\n");
    struct stat st;
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u) << "the replaced file keeps its mode";

    // Through a link, to the file it names; the link stays a link.
    std::filesystem::create_symlink(path, dir.Path("link"));
    ReplaceFile(dir.Path("link"), "via link\n");
    EXPECT_TRUE(std::filesystem::is_symlink(dir.Path("link")));
    EXPECT_EQ(ReadFile(path), "via link\n");

    int entries = 0;
    for (const auto& e : std::filesystem::directory_iterator(dir.Path(""))) entries += e.path().empty() ? 0 : 1;
    EXPECT_EQ(entries, 2) << "no temporary file left";
    EXPECT_THROW(ReplaceFile(dir.Path(""), "x"), std::runtime_error); // a folder
}

TEST(Files, SameFileComparesFilesNotNames)
{
    const CScratchDir dir;
    const std::string a = WriteFile(dir.Path("a"), "a"), b = WriteFile(dir.Path("b"), "b");
    std::filesystem::create_symlink(a, dir.Path("link"));
    std::filesystem::create_hard_link(a, dir.Path("hard"));
    std::filesystem::create_directory(dir.Path("d"));
    const struct {
        std::string x, y;
        bool same;
    } cases[] = {
        {a, dir.Path("link"), true},
        {a, dir.Path("hard"), true},
        {a, dir.Path("d/../a"), true},
        {dir.Path("new"), dir.Path("d/../new"), true}, // neither exists yet
        {a, b, false},
        {a, dir.Path("new"), false},
        {"/dev/null", "/dev/null", false}, // not a regular file
    };
    for (const auto& c : cases) EXPECT_EQ(SameFile(c.x, c.y), c.same) << c.x << " " << c.y;
}

TEST(Files, PrintableTextIsOneLineOfValidUtf8)
{
    const std::pair<std::string, std::string> cases[] = {
        {"plain name.mtx", "plain name.mtx"},
        {"a\nb\tc\x7f", "a\\x0ab\\x09c\\x7f"},
        {"\xc3\xa4\xe2\x82\xac\xf0\x9f\x98\x80", "\xc3\xa4\xe2\x82\xac\xf0\x9f\x98\x80"}, // 2, 3 and 4 bytes
        {"\xff", "\\xff"},
        {"\xc0\xaf", "\\xc0\\xaf"},                   // overlong '/'
        {"\xed\xa0\x80", "\\xed\\xa0\\x80"},          // a surrogate
        {"\xf4\x90\x80\x80", "\\xf4\\x90\\x80\\x80"}, // above U+10FFFF
        {"\xe2\x82", "\\xe2\\x82"},                   // cut short
        {"\x80x", "\\x80x"},                          // a stray continuation byte
    };
    for (const auto& [text, shown] : cases) EXPECT_EQ(Printable(text), shown);
}
