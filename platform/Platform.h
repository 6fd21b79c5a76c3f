// The few operating-system services the support tools need, in one place so
// the tools read the same on every system.
//
// OpenFile keeps the contract of a checked C open: 0 and an open handle, or
// the error number with the handle null. The last system error of a thread
// is its errno. Message texts come from the thread-safe form of the C
// library's message table, and every code has one (code 0 included).
// FormatBounded is snprintf that cuts silently at the buffer's size. The
// cache sizes come from sysfs, the way the kernel lists them.
#ifndef QVL3D_PLATFORM_H
#define QVL3D_PLATFORM_H

#include <cstddef>
#include <cstdio>
#include <string>

#if defined(__GNUC__)
#define QVL3D_PRINTF_FORMAT(formatIndex, firstArgument) __attribute__((format(printf, formatIndex, firstArgument)))
#else
#define QVL3D_PRINTF_FORMAT(formatIndex, firstArgument)
#endif

namespace qvl3d {
namespace platform {

// Opens filename with a C mode string. Returns 0 with fp open, or the error
// number with fp null; a null name or mode fails with EINVAL. The calling
// thread's last system error is left at the failure's error number.
int OpenFile(std::FILE*& fp, const char* filename, const char* mode);

// Sleeps at least ms milliseconds; returns at once when ms <= 0.
void SleepMilliseconds(int ms);

// The calling thread's last system error.
int LastSystemError();

// The system's message text for an error code. Safe to call from several
// threads; leaves the last system error as it was.
std::string SystemErrorText(int code);

// Formats into buffer, writing at most size - 1 characters and a
// terminating NUL. Returns the characters written, or -1 when the text was
// cut (or size is 0, when nothing is written).
int FormatBounded(char* buffer, std::size_t size, const char* format, ...) QVL3D_PRINTF_FORMAT(3, 4);

// A cache size as sysfs writes it ("32768K", "1M", "512"); -1 when the text
// is not one.
long long ParseCacheSize(const std::string& text);

struct CLastLevelCache {
    long long bytes = 0; // 0 when unknown
    int level = 0;
    std::string source; // where the size came from
};

// The highest-level data or unified cache listed under dir (sysfs
// .../cpu0/cache: index*/level, type, size); when dir lists none,
// sysconf(_SC_LEVEL3_CACHE_SIZE), then _SC_LEVEL2_CACHE_SIZE.
CLastLevelCache LastLevelCache(const std::string& dir = "/sys/devices/system/cpu/cpu0/cache");

// The size the solver plans its memory access for, found once per process:
// QVL3D_CACHE_BYTES when it holds a size ParseCacheSize takes, else
// LastLevelCache().bytes; 0 when unknown.
long long LastLevelCacheBytes();

} // namespace platform
} // namespace qvl3d

#endif
