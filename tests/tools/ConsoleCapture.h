// Standard output captured through a pipe, read by a second thread that can
// act on each line the moment it is written (the file tool flushes every
// report line), and scratch folders for file tests.
#ifndef QVL3D_TESTS_CONSOLECAPTURE_H
#define QVL3D_TESTS_CONSOLECAPTURE_H

#include <functional>
#include <string>
#include <thread>

namespace qvl3d {
namespace test {

class CConsoleCapture {
public:
    // onLine sees every complete line, line feed removed, on the reading thread.
    explicit CConsoleCapture(std::function<void(const std::string&)> onLine = {});
    ~CConsoleCapture();
    CConsoleCapture(const CConsoleCapture&) = delete;
    CConsoleCapture& operator=(const CConsoleCapture&) = delete;

    // Puts standard output back and returns everything written meanwhile.
    std::string Finish();

private:
    std::function<void(const std::string&)> m_onLine;
    std::string m_text;
    std::thread m_reader;
    int m_savedStdout = -1;
    int m_readEnd = -1;
};

// Everything f writes to standard output.
std::string CaptureConsole(const std::function<void()>& f);

// A fresh folder, removed with its contents at the end of the test.
class CScratchDir {
public:
    CScratchDir();
    ~CScratchDir();
    CScratchDir(const CScratchDir&) = delete;
    CScratchDir& operator=(const CScratchDir&) = delete;

    std::string Path(const std::string& name) const { return m_path + "/" + name; }

private:
    std::string m_path;
};

std::string ReadWholeFile(const std::string& path);
void WriteWholeFile(const std::string& path, const std::string& text);
bool FileExists(const std::string& path);

} // namespace test
} // namespace qvl3d

#endif
