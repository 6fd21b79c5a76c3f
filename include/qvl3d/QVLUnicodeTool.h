// CQVLUnicodeTool: the host's console printer. The file tool writes every
// report through one.
#ifndef QVL3D_QVLUNICODETOOL_H
#define QVL3D_QVLUNICODETOOL_H

#include <qvl3d/QVLExport.h>

#if defined(__GNUC__)
#define QVL3D_CONSOLE_FORMAT __attribute__((format(printf, 2, 3)))
#else
#define QVL3D_CONSOLE_FORMAT
#endif

class QVL3D_EXPORT CQVLUnicodeTool {
public:
    CQVLUnicodeTool();
    ~CQVLUnicodeTool();

    // Writes one printf-style formatted line (the format carries its line
    // feed) to standard output in one piece and flushes it. Returns the
    // characters written, negative on an output error.
    int wprintf(const char* format, ...) QVL3D_CONSOLE_FORMAT;
};

#endif
