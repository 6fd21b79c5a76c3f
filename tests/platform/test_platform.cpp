// The cache sizes the solver plans its prefetch hints by: read from sysfs, or
// from QVL3D_CACHE_BYTES, which a user sets by hand.
#include "Platform.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

using namespace qvl3d::platform;

// Sizes as sysfs writes them; anything else, or a size past what a long long
// holds, is refused rather than wrapped.
TEST(CacheSize, ParsesSysfsSizesAndRefusesTheRest)
{
    const struct {
        const char* text;
        long long bytes;
    } cases[] = {{"32768K", 32LL << 20},
                 {"1M", 1LL << 20},
                 {"512", 512},
                 {"2G\n", 2LL << 30},
                 {"1099511627776G", -1},              // 2^70 bytes
                 {"8589934591G", 8589934591LL << 30}, // the largest count of GiB that fits
                 {"8589934592G", -1},
                 {"99999999999999", -1},
                 {"", -1},
                 {"K", -1},
                 {"12X", -1},
                 {"3.5M", -1},
                 {"1M 2", -1}};
    for (const auto& c : cases) EXPECT_EQ(ParseCacheSize(c.text), c.bytes) << c.text;
}

// The highest level of a data or unified cache counts; instruction caches
// and unreadable entries do not.
TEST(CacheSize, FindsTheLastLevelInASysfsFolder)
{
    namespace fs = std::filesystem;
    const fs::path dir = fs::path(::testing::TempDir()) / "cache-sysfs";
    fs::remove_all(dir);
    const struct {
        int index, level;
        const char *type, *size;
    } entries[] = {{0, 1, "Data", "32K"},
                   {1, 1, "Instruction", "32K"},
                   {2, 2, "Unified", "512K"},
                   {3, 3, "Unified", "32768K"},
                   {4, 4, "Instruction", "64M"}};
    for (const auto& e : entries) {
        const fs::path d = dir / ("index" + std::to_string(e.index));
        fs::create_directories(d);
        std::ofstream(d / "level") << e.level << "\n";
        std::ofstream(d / "type") << e.type << "\n";
        std::ofstream(d / "size") << e.size << "\n";
    }
    const CLastLevelCache llc = LastLevelCache(dir.string());
    EXPECT_EQ(llc.bytes, 32LL << 20);
    EXPECT_EQ(llc.level, 3);
    fs::remove_all(dir);
}
