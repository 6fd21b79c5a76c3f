// CQVLSystemErrorTool: error numbers as readable text for reports.
//
// Errno2String gives the C library's text for an errno value,
// LastError2String the system's text for a system error code (on this
// system the same table: a thread's last system error is its errno). Both
// write the text into the tool's one buffer of kBufferChars chars and return
// it, so the text stays valid until the next conversion on the same object;
// texts longer than kBufferChars - 1 characters are cut. LastError2String
// also prints "SystemError:<code> (<text>)" on standard output when the code
// is nonzero.
//
// One object serves one thread at a time. Copies, by construction or
// assignment, take their own buffer holding the source's current text.
#ifndef QVL3D_QVLSYSTEMERRORTOOL_H
#define QVL3D_QVLSYSTEMERRORTOOL_H

#include <qvl3d/QVLExport.h>

class QVL3D_EXPORT CQVLSystemErrorTool {
public:
    static constexpr int kBufferChars = 2048;

    CQVLSystemErrorTool();
    CQVLSystemErrorTool(const CQVLSystemErrorTool& other);
    ~CQVLSystemErrorTool();
    CQVLSystemErrorTool& operator=(const CQVLSystemErrorTool& other);

    const char* Errno2String(int errnum);
    const char* LastError2String(int error);

private:
    const char* Store(const char* text); // cut to fit, into the buffer

    char* m_pszBuffer; // kBufferChars chars, owned

    friend class CQVLSystemErrorToolProbe; // white-box access for the test suites
};

#endif
