#include <qvl3d/QVLSystemErrorTool.h>

#include "Platform.h"

#include <cstdio>
#include <cstring>
#include <string>

using namespace qvl3d::platform;

CQVLSystemErrorTool::CQVLSystemErrorTool() : m_pszBuffer(new char[kBufferChars])
{
    m_pszBuffer[0] = '\0';
}

CQVLSystemErrorTool::CQVLSystemErrorTool(const CQVLSystemErrorTool& other) : CQVLSystemErrorTool()
{
    Store(other.m_pszBuffer);
}

CQVLSystemErrorTool::~CQVLSystemErrorTool()
{
    delete[] m_pszBuffer;
    m_pszBuffer = nullptr;
}

CQVLSystemErrorTool& CQVLSystemErrorTool::operator=(const CQVLSystemErrorTool& other)
{
    if (this != &other) Store(other.m_pszBuffer);
    return *this;
}

const char* CQVLSystemErrorTool::Errno2String(int errnum)
{
    return Store(SystemErrorText(errnum).c_str());
}

const char* CQVLSystemErrorTool::LastError2String(int error)
{
    const std::string text = SystemErrorText(error);
    if (error != 0) {
        std::printf("SystemError:%d (%s)\n", error, text.c_str());
        std::fflush(stdout);
    }
    return Store(text.c_str());
}

const char* CQVLSystemErrorTool::Store(const char* text)
{
    FormatBounded(m_pszBuffer, kBufferChars, "%s", text);
    return m_pszBuffer;
}
