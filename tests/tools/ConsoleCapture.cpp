#include "ConsoleCapture.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

namespace qvl3d {
namespace test {

CConsoleCapture::CConsoleCapture(std::function<void(const std::string&)> onLine) : m_onLine(std::move(onLine))
{
    int fds[2];
    if (pipe(fds) != 0) std::abort();
    std::fflush(stdout);
    m_savedStdout = dup(STDOUT_FILENO);
    dup2(fds[1], STDOUT_FILENO);
    close(fds[1]); // standard output is now the only write end: closing it ends the reader
    m_readEnd = fds[0];
    m_reader = std::thread([this] {
        std::string line;
        char chunk[4096];
        ssize_t n;
        while ((n = read(m_readEnd, chunk, sizeof chunk)) > 0) {
            for (ssize_t k = 0; k < n; ++k) {
                m_text.push_back(chunk[k]);
                if (chunk[k] != '\n') {
                    line.push_back(chunk[k]);
                } else {
                    if (m_onLine) m_onLine(line);
                    line.clear();
                }
            }
        }
    });
}

CConsoleCapture::~CConsoleCapture()
{
    Finish();
}

std::string CConsoleCapture::Finish()
{
    if (m_savedStdout >= 0) {
        std::fflush(stdout);
        dup2(m_savedStdout, STDOUT_FILENO);
        close(m_savedStdout);
        m_savedStdout = -1;
        m_reader.join();
        close(m_readEnd);
    }
    return m_text;
}

std::string CaptureConsole(const std::function<void()>& f)
{
    CConsoleCapture capture;
    f();
    return capture.Finish();
}

CScratchDir::CScratchDir()
{
    std::string pattern = (std::filesystem::temp_directory_path() / "qvl3d-tools-XXXXXX").string();
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    if (mkdtemp(name.data()) == nullptr) std::abort();
    m_path = name.data();
}

CScratchDir::~CScratchDir()
{
    std::error_code ignored;
    std::filesystem::remove_all(m_path, ignored);
}

std::string ReadWholeFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void WriteWholeFile(const std::string& path, const std::string& text)
{
    std::ofstream out(path, std::ios::binary);
    out << text;
}

bool FileExists(const std::string& path)
{
    return std::filesystem::exists(path);
}

} // namespace test
} // namespace qvl3d
