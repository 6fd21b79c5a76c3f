// CQVLFileIO: opens, closes and deletes files for the host, with retries,
// pauses and console reports tagged with the process's rank.
//
// Three kinds of handle are served: C FILE* handles, input and output file
// streams. Results are 0 for success, otherwise a failure value; the outcome
// of the latest open (either kind), FILE* close or delete is kept and read
// back with GetErrorValue. Reports are written through the object's console
// printer only when the report level set by Init is 2 or more; a new object
// reports nothing and tags with rank 0.
//
// FILE* opens run two phases of iMaxTry tries each, pausing sleepMs
// milliseconds after every failed try: a checked open, then a plain open.
// The result is 0 or the error number of the last checked try (1 when
// iMaxTry <= 0). Stream opens make iMaxTry tries with the flags QVLOpenMode
// selects and return 0 or 1; they make the environment's default locale the
// process-wide global locale while they work, imbue the stream with the
// classic "C" locale, and leave the global locale at "C" when they return,
// whatever it was before. So a stream open must not run while other threads
// depend on the global locale. A delete pauses sleepMs first.
//
// One object serves one thread at a time. Copies, by construction or
// assignment, own their own error tool and console printer.
#ifndef QVL3D_QVLFILEIO_H
#define QVL3D_QVLFILEIO_H

#include <qvl3d/QVLExport.h>

#include <cstdio>
#include <fstream>

class CQVLSystemErrorTool;
class CQVLUnicodeTool;

// Open flags of the stream overloads, beside the stream's own in or out.
enum QVLOpenMode : int {
    QVLOpenBinary = 0,       // binary
    QVLOpenText = 1,         // (none)
    QVLOpenAppendBinary = 2, // append, binary
    QVLOpenAppendText = 3,   // append
};

class QVL3D_EXPORT CQVLFileIO {
public:
    CQVLFileIO();
    CQVLFileIO(const CQVLFileIO& other);
    ~CQVLFileIO();
    CQVLFileIO& operator=(const CQVLFileIO& other);

    // Rank printed in reports and the report level (reports at 2 or more).
    int Init(int myid, int printLevel);

    int QVLOpenFile(std::FILE*& fp, const char* filename, const char* mode, int sleepMs, int iMaxTry);
    int QVLOpenFile(std::ifstream& stream, const char* filename, QVLOpenMode mode, int sleepMs, int iMaxTry);
    int QVLOpenFile(std::ofstream& stream, const char* filename, QVLOpenMode mode, int sleepMs, int iMaxTry);

    // Closes and nulls fp; returns fclose's value (0 for a null fp).
    // filename is used in reports only.
    int QVLCloseFile(std::FILE*& fp, const char* filename);
    // Closes the stream if open and clears its state for reuse; returns 1
    // when the close failed (output that could not be written), else 0.
    int QVLCloseFile(std::ifstream& stream);
    int QVLCloseFile(std::ofstream& stream);

    // Pauses sleepMs, then removes path; returns 0 or remove's failure value.
    int QVLDeleteFile(const char* path, int sleepMs);

    int GetErrorValue() const;

private:
    template <class Stream>
    int OpenStream(Stream& stream, std::ios_base::openmode direction, const char* filename, QVLOpenMode mode,
                   int sleepMs, int iMaxTry);
    template <class Stream>
    int CloseStream(Stream& stream);
    void ReportOpenError(int error, int lastError);

    int m_iPrintLevel;
    int m_imyid;
    int m_iErrorValue;
    CQVLSystemErrorTool* m_pSystemErrorTool; // owned
    CQVLUnicodeTool* m_pUnicodeTool;         // owned

    friend class CQVLFileIOProbe; // white-box access for the test suites
};

#endif
