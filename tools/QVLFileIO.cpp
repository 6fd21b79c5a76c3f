#include <qvl3d/QVLFileIO.h>

#include "Platform.h"
#include <qvl3d/QVLLocale.h>
#include <qvl3d/QVLSystemErrorTool.h>
#include <qvl3d/QVLUnicodeTool.h>

#include <locale>
#include <memory>
#include <string>

using namespace qvl3d::platform;

namespace {

// A name as reports show it; a null one is a caller's error that still gets a line.
const char* Shown(const char* name)
{
    return name != nullptr ? name : "(null)";
}

// The flags QVLOpenMode adds to a stream's own in or out; false outside 0..3.
bool StreamFlags(QVLOpenMode mode, std::ios_base::openmode direction, std::ios_base::openmode& flags)
{
    switch (mode) {
    case QVLOpenBinary: flags = direction | std::ios_base::binary; return true;
    case QVLOpenText: flags = direction; return true;
    case QVLOpenAppendBinary: flags = direction | std::ios_base::app | std::ios_base::binary; return true;
    case QVLOpenAppendText: flags = direction | std::ios_base::app; return true;
    }
    return false;
}

// Puts the classic "C" locale back as the global one when a stream open
// ends, by return or by exception.
class CClassicGlobalLocaleOnExit {
public:
    explicit CClassicGlobalLocaleOnExit(const std::locale& classic) : m_classic(classic) {}
    ~CClassicGlobalLocaleOnExit() { std::locale::global(m_classic); }
    CClassicGlobalLocaleOnExit(const CClassicGlobalLocaleOnExit&) = delete;
    CClassicGlobalLocaleOnExit& operator=(const CClassicGlobalLocaleOnExit&) = delete;

private:
    const std::locale& m_classic;
};

} // namespace

CQVLFileIO::CQVLFileIO()
    : m_iPrintLevel(0), m_imyid(0), m_iErrorValue(0), m_pSystemErrorTool(nullptr), m_pUnicodeTool(nullptr)
{
    auto errorTool = std::make_unique<CQVLSystemErrorTool>();
    m_pUnicodeTool = new CQVLUnicodeTool();
    m_pSystemErrorTool = errorTool.release();
}

CQVLFileIO::CQVLFileIO(const CQVLFileIO& other)
    : m_iPrintLevel(other.m_iPrintLevel), m_imyid(other.m_imyid), m_iErrorValue(other.m_iErrorValue),
      m_pSystemErrorTool(nullptr), m_pUnicodeTool(nullptr)
{
    auto errorTool = std::make_unique<CQVLSystemErrorTool>(*other.m_pSystemErrorTool);
    m_pUnicodeTool = new CQVLUnicodeTool(*other.m_pUnicodeTool);
    m_pSystemErrorTool = errorTool.release();
}

CQVLFileIO::~CQVLFileIO()
{
    delete m_pSystemErrorTool;
    delete m_pUnicodeTool;
    m_pSystemErrorTool = nullptr;
    m_pUnicodeTool = nullptr;
}

CQVLFileIO& CQVLFileIO::operator=(const CQVLFileIO& other)
{
    m_iPrintLevel = other.m_iPrintLevel;
    m_imyid = other.m_imyid;
    m_iErrorValue = other.m_iErrorValue;
    *m_pSystemErrorTool = *other.m_pSystemErrorTool;
    *m_pUnicodeTool = *other.m_pUnicodeTool;
    return *this;
}

int CQVLFileIO::Init(int myid, int printLevel)
{
    m_imyid = myid;
    m_iPrintLevel = printLevel;
    return 0;
}

int CQVLFileIO::GetErrorValue() const
{
    return m_iErrorValue;
}

// Both texts come from the error tool's one buffer: the first is copied out
// before the second overwrites it.
void CQVLFileIO::ReportOpenError(int error, int lastError)
{
    const std::string errnoText = m_pSystemErrorTool->Errno2String(error);
    const char* lastErrorText = m_pSystemErrorTool->LastError2String(lastError);
    m_pUnicodeTool->wprintf("m_imyid=%d, Errno=[%s], LastError=[%s]\n", m_imyid, errnoText.c_str(), lastErrorText);
}

// Phase one: the checked open, which names its failure. Phase two: the plain
// open, for a file that appears late. Every failed try pauses sleepMs.
int CQVLFileIO::QVLOpenFile(std::FILE*& fp, const char* filename, const char* mode, int sleepMs, int iMaxTry)
{
    const bool report = m_iPrintLevel >= 2;
    int result = 1;
    bool opened = false;
    for (int iTry = 0; iTry < iMaxTry && !opened; ++iTry) {
        const int error = OpenFile(fp, filename, mode);
        const int lastError = LastSystemError();
        if (error == 0) {
            opened = true;
        } else if (fp != nullptr) {
            // A failure that still left a handle counts as opened.
            if (report) {
                ReportOpenError(error, lastError);
                m_pUnicodeTool->wprintf("File is opened. m_imyid=%d, error=%d, filename=[%s]\n", m_imyid, result,
                                        Shown(filename));
            }
            opened = true;
        } else {
            if (report) {
                ReportOpenError(error, lastError);
                m_pUnicodeTool->wprintf("m_imyid=%d, iMaxTry=%d, fopen_s() trying open file[%s]\n", m_imyid, iMaxTry,
                                        Shown(filename));
            }
            result = error;
            SleepMilliseconds(sleepMs);
        }
    }

    if (!opened) {
        if (report) m_pUnicodeTool->wprintf("m_imyid=%d, error=%d, filename=[%s]\n", m_imyid, result, Shown(filename));
        for (int iTry = 0; iTry < iMaxTry && !opened; ++iTry) {
            if (OpenFile(fp, filename, mode) == 0) {
                opened = true;
            } else {
                if (report)
                    m_pUnicodeTool->wprintf("m_imyid=%d, fopen() trying open file[%s]\n", m_imyid, Shown(filename));
                SleepMilliseconds(sleepMs);
            }
        }
    }

    if (opened) {
        result = 0;
        if (report) m_pUnicodeTool->wprintf("m_imyid=%d, succeeded in opening file[%s]\n", m_imyid, Shown(filename));
    }
    m_iErrorValue = result;
    return result;
}

// The locales are built before anything changes, so a locale name the
// standard library refuses ("bad locale name") leaves the global locale, the
// stream and the stored result as they were.
template <class Stream>
int CQVLFileIO::OpenStream(Stream& stream, std::ios_base::openmode direction, const char* filename, QVLOpenMode mode,
                           int sleepMs, int iMaxTry)
{
    int result = 1;
    {
        const CQVLLocale localeLibrary;
        const std::locale classic("C");
        const std::locale systemDefault(localeLibrary.GetSystemDefaultLocale().c_str());
        const CClassicGlobalLocaleOnExit restore(classic);
        std::locale::global(systemDefault);

        if (!stream.rdbuf()->is_open()) {
            for (int iTry = 0; iTry < iMaxTry; ++iTry) {
                stream.imbue(classic);
                std::ios_base::openmode flags;
                // A mode outside 0..3 opens nothing and fails like any other try.
                if (filename != nullptr && StreamFlags(mode, direction, flags) &&
                    stream.rdbuf()->open(filename, flags) != nullptr) {
                    stream.clear();
                } else {
                    stream.setstate(std::ios_base::failbit);
                }
                if (!(stream.rdstate() & (std::ios_base::failbit | std::ios_base::badbit))) {
                    result = 0;
                    break;
                }
                if (m_iPrintLevel >= 2) m_pUnicodeTool->wprintf("open [%s] failed. Error=%d\n", Shown(filename), 1);
                SleepMilliseconds(sleepMs);
            }
        }
    }
    if (m_iPrintLevel >= 2 && result == 0)
        m_pUnicodeTool->wprintf("m_imyid=%d, succeeded in opening file[%s]\n", m_imyid, Shown(filename));
    m_iErrorValue = result;
    return result;
}

int CQVLFileIO::QVLOpenFile(std::ifstream& stream, const char* filename, QVLOpenMode mode, int sleepMs, int iMaxTry)
{
    return OpenStream(stream, std::ios_base::in, filename, mode, sleepMs, iMaxTry);
}

int CQVLFileIO::QVLOpenFile(std::ofstream& stream, const char* filename, QVLOpenMode mode, int sleepMs, int iMaxTry)
{
    return OpenStream(stream, std::ios_base::out, filename, mode, sleepMs, iMaxTry);
}

int CQVLFileIO::QVLCloseFile(std::FILE*& fp, const char* filename)
{
    if (fp == nullptr) {
        m_iErrorValue = 0;
        return 0;
    }
    const int closed = std::fclose(fp);
    fp = nullptr;
    m_iErrorValue = closed;
    if (m_iPrintLevel >= 2) {
        if (closed == 0)
            m_pUnicodeTool->wprintf("m_imyid=%d, succeeded in closing file[%s]\n", m_imyid, Shown(filename));
        else
            m_pUnicodeTool->wprintf("[%s] can not be closed. Error code=%d\n", Shown(filename), closed);
    }
    return closed;
}

// The state is cleared whatever the close did, so the stream can be reused.
template <class Stream>
int CQVLFileIO::CloseStream(Stream& stream)
{
    if (!stream.rdbuf()->is_open()) return 0;
    const bool closed = stream.rdbuf()->close() != nullptr;
    stream.clear();
    return closed ? 0 : 1;
}

int CQVLFileIO::QVLCloseFile(std::ifstream& stream)
{
    return CloseStream(stream);
}

int CQVLFileIO::QVLCloseFile(std::ofstream& stream)
{
    return CloseStream(stream);
}

int CQVLFileIO::QVLDeleteFile(const char* path, int sleepMs)
{
    SleepMilliseconds(sleepMs);
    const int status = path != nullptr ? std::remove(path) : -1;
    m_iErrorValue = status;
    if (status != 0 && m_iPrintLevel >= 2)
        m_pUnicodeTool->wprintf("Failed to remove file[%s], iStatus=%d\n", Shown(path), status);
    return status;
}
