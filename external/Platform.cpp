#include "Platform.h"

#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstring>
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

} // namespace platform
} // namespace qvl3d
