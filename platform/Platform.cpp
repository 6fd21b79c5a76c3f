#include "Platform.h"

#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <thread>

namespace qvl3d {
namespace platform {

int OpenFile(std::FILE*& fp, const char* filename, const char* mode)
{
    fp = nullptr;
    if (filename == nullptr || mode == nullptr) {
        errno = EINVAL;
        return EINVAL;
    }
    errno = 0;
    fp = std::fopen(filename, mode);
    if (fp != nullptr) return 0;
    if (errno == 0) errno = EINVAL; // an open that fails always has a number
    return errno;
}

void SleepMilliseconds(int ms)
{
    if (ms <= 0) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

int LastSystemError()
{
    return errno;
}

namespace {

constexpr std::size_t kScratch = 256;

// strerror_r comes in two forms: the GNU one returns the text (in the
// scratch buffer or a static one), the POSIX one fills the buffer and
// returns 0 or an error.
[[maybe_unused]] const char* MessageOf(const char* text, char*, int)
{
    return text;
}

[[maybe_unused]] const char* MessageOf(int failed, char* scratch, int code)
{
    if (failed != 0) std::snprintf(scratch, kScratch, "Unknown error %d", code);
    return scratch;
}

} // namespace

std::string SystemErrorText(int code)
{
    const int saved = errno;
    char scratch[kScratch];
    const std::string text = MessageOf(strerror_r(code, scratch, kScratch), scratch, code);
    errno = saved;
    return text;
}

int FormatBounded(char* buffer, std::size_t size, const char* format, ...)
{
    if (size == 0) return -1;
    va_list args;
    va_start(args, format);
    const int n = std::vsnprintf(buffer, size, format, args);
    va_end(args);
    if (n < 0) {
        buffer[0] = '\0';
        return -1;
    }
    return static_cast<std::size_t>(n) < size ? n : -1;
}

long long ParseCacheSize(const std::string& text)
{
    size_t k = 0;
    long long v = 0;
    while (k < text.size() && std::isdigit(static_cast<unsigned char>(text[k]))) {
        if (v > (1LL << 40)) return -1;
        v = v * 10 + (text[k++] - '0');
    }
    if (k == 0) return -1;
    long long unit = 1;
    if (k < text.size()) {
        const char u = static_cast<char>(std::toupper(static_cast<unsigned char>(text[k])));
        unit = u == 'K' ? 1LL << 10 : u == 'M' ? 1LL << 20 : u == 'G' ? 1LL << 30 : 0;
        if (unit == 0) return -1;
        ++k;
    }
    while (k < text.size() && std::isspace(static_cast<unsigned char>(text[k]))) ++k;
    if (k != text.size() || v > LLONG_MAX / unit) return -1; // trailing text, or more bytes than a long long holds
    return v * unit;
}

namespace {

std::string FirstLine(const std::string& path)
{
    std::ifstream in(path);
    std::string line;
    if (!in || !std::getline(in, line)) return "";
    return line;
}

} // namespace

CLastLevelCache LastLevelCache(const std::string& dir)
{
    CLastLevelCache best;
    for (int index = 0; index < 16; ++index) {
        const std::string d = dir + "/index" + std::to_string(index) + "/";
        const std::string level = FirstLine(d + "level"), type = FirstLine(d + "type");
        if (level.empty()) continue;
        if (type != "Data" && type != "Unified") continue;
        const int l = std::atoi(level.c_str());
        const long long bytes = ParseCacheSize(FirstLine(d + "size"));
        if (bytes > 0 && l > best.level) best = CLastLevelCache{bytes, l, "sysfs " + d + "size"};
    }
    if (best.bytes > 0) return best;
#ifdef _SC_LEVEL3_CACHE_SIZE
    if (const long v = sysconf(_SC_LEVEL3_CACHE_SIZE); v > 0) return CLastLevelCache{v, 3, "sysconf L3"};
#endif
#ifdef _SC_LEVEL2_CACHE_SIZE
    if (const long v = sysconf(_SC_LEVEL2_CACHE_SIZE); v > 0) return CLastLevelCache{v, 2, "sysconf L2"};
#endif
    return best;
}

long long LastLevelCacheBytes()
{
    static const long long bytes = [] {
        const char* text = std::getenv("QVL3D_CACHE_BYTES");
        const long long given = text != nullptr ? ParseCacheSize(text) : -1;
        return given >= 0 ? given : LastLevelCache().bytes;
    }();
    return bytes;
}

} // namespace platform
} // namespace qvl3d
