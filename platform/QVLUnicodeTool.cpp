#include <qvl3d/QVLUnicodeTool.h>

#include <cstdarg>
#include <cstdio>

CQVLUnicodeTool::CQVLUnicodeTool() = default;
CQVLUnicodeTool::~CQVLUnicodeTool() = default;

int CQVLUnicodeTool::wprintf(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    flockfile(stdout); // one line, not interleaved with another thread's
    const int n = std::vfprintf(stdout, format, args);
    const int flushed = std::fflush(stdout);
    funlockfile(stdout);
    va_end(args);
    return flushed == 0 ? n : -1;
}
