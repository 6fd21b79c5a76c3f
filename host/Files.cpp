#include "Files.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <system_error>

namespace qvl3d {
namespace host {

namespace {

std::string Folder(const std::string& path)
{
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

// Mode of a new file: what creating it with open(..., 0666) would give.
mode_t NewFileMode()
{
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return 0666 & ~mask;
}

// The hidden name a file for target gets in its folder before it is renamed
// over it: at most 255 bytes however long the target's name is.
std::string TemporaryName(const std::string& target)
{
    const std::string folder = Folder(target);
    return folder + "." + target.substr(folder.size(), 200) + ".";
}

// Links the unnamed file open as fd into its folder under a free name
// starting with prefix, which it sets; 0 or the error.
int LinkUnnamed(int fd, const std::string& prefix, std::string& name)
{
    const std::string self = "/proc/self/fd/" + std::to_string(fd);
    for (unsigned k = 0; k < 1000; ++k) {
        name = prefix + std::to_string(::getpid()) + "-" + std::to_string(k);
        int rc = ::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW);
        if (rc != 0 && errno == ENOENT) rc = ::linkat(fd, "", AT_FDCWD, name.c_str(), AT_EMPTY_PATH);
        if (rc == 0) return 0;
        if (errno != EEXIST) {
            const int error = errno;
            name.clear();
            return error;
        }
    }
    name.clear();
    return EEXIST;
}

} // namespace

CReplacingFile::CReplacingFile(const std::string& path) : m_path(path), m_target(path)
{
    struct stat st;
    if (::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
        std::error_code ec;
        const std::filesystem::path resolved = std::filesystem::canonical(path, ec);
        if (!ec) m_target = resolved.string();
    }
    const bool exists = ::stat(m_target.c_str(), &st) == 0;
    if (exists && S_ISDIR(st.st_mode)) Fail(EISDIR);
    if (exists && !S_ISREG(st.st_mode)) {
        m_file = std::fopen(m_target.c_str(), "w");
        if (m_file == nullptr) Fail(errno);
        return;
    }
    // An unnamed file in the target's folder, linked in only when complete:
    // whatever stops the process before then (a signal, a kill) leaves
    // nothing behind. Where the file system has no unnamed files, a hidden
    // named one, removed on every failure this process sees.
    const std::string folder = Folder(m_target);
    int fd = ::open(folder.empty() ? "." : folder.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
    if (fd >= 0) {
        m_unnamed = true;
    } else {
        std::string name = TemporaryName(m_target) + "XXXXXX";
        fd = ::mkostemp(name.data(), O_CLOEXEC);
        if (fd < 0) Fail(errno);
        m_temporary = name;
    }
    if (::fchmod(fd, exists ? (st.st_mode & 07777) : NewFileMode()) != 0) {
        const int error = errno;
        ::close(fd);
        Fail(error);
    }
    m_file = ::fdopen(fd, "w");
    if (m_file == nullptr) {
        const int error = errno;
        ::close(fd);
        Fail(error);
    }
}

CReplacingFile::~CReplacingFile()
{
    Discard();
}

void CReplacingFile::Discard() noexcept
{
    if (m_file != nullptr) std::fclose(m_file);
    m_file = nullptr;
    m_unnamed = false;
    if (!m_temporary.empty()) ::unlink(m_temporary.c_str());
    m_temporary.clear();
}

void CReplacingFile::Fail(int error)
{
    Discard();
    throw std::runtime_error("cannot write " + Printable(m_path) + ": " + std::strerror(error));
}

void CReplacingFile::Write(const std::string& text)
{
    if (m_file == nullptr) Fail(EBADF);
    if (!text.empty() && std::fwrite(text.data(), 1, text.size(), m_file) != text.size()) Fail(errno);
}

void CReplacingFile::Printf(const char* format, ...)
{
    if (m_file == nullptr) Fail(EBADF);
    va_list args;
    va_start(args, format);
    const int written = std::vfprintf(m_file, format, args);
    const int error = errno;
    va_end(args);
    if (written < 0) Fail(error);
}

void CReplacingFile::Commit()
{
    if (m_file == nullptr) Fail(EBADF);
    if (std::fflush(m_file) != 0 || std::ferror(m_file)) Fail(errno);
    const bool replacing = m_unnamed || !m_temporary.empty();
    if (replacing && ::fsync(::fileno(m_file)) != 0) Fail(errno);
    // From the name's creation to the rename no signal is taken, so no
    // interrupt can leave the named file behind.
    sigset_t all, before;
    sigfillset(&all);
    if (m_unnamed) {
        ::pthread_sigmask(SIG_BLOCK, &all, &before);
        const int error = LinkUnnamed(::fileno(m_file), TemporaryName(m_target), m_temporary);
        if (error != 0) {
            ::pthread_sigmask(SIG_SETMASK, &before, nullptr);
            Fail(error);
        }
    }
    std::FILE* f = m_file;
    m_file = nullptr;
    int error = std::fclose(f) != 0 ? errno : 0;
    if (error == 0 && replacing && std::rename(m_temporary.c_str(), m_target.c_str()) != 0) error = errno;
    if (m_unnamed) ::pthread_sigmask(SIG_SETMASK, &before, nullptr);
    m_unnamed = false;
    if (error != 0) Fail(error);
    if (!replacing) return;
    m_temporary.clear();
    // The new name reaches the disk with the folder (where the system lets
    // a folder be synced; the file itself is complete either way).
    const std::string folder = Folder(m_target);
    const int fd = ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

void ReplaceFile(const std::string& path, const std::string& text)
{
    CReplacingFile file(path);
    file.Write(text);
    file.Commit();
}

bool SameFile(const std::string& a, const std::string& b)
{
    struct stat sa, sb;
    const bool hasA = ::stat(a.c_str(), &sa) == 0, hasB = ::stat(b.c_str(), &sb) == 0;
    if (hasA && hasB) return S_ISREG(sa.st_mode) && sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
    if (hasA || hasB) return false;
    std::error_code ea, eb;
    const std::filesystem::path pa = std::filesystem::weakly_canonical(std::filesystem::absolute(a, ea), ea);
    const std::filesystem::path pb = std::filesystem::weakly_canonical(std::filesystem::absolute(b, eb), eb);
    return !ea && !eb && pa == pb;
}

std::size_t Utf8SequenceLength(const std::string& text, std::size_t at)
{
    if (at >= text.size()) return 0;
    const auto byte = [&](std::size_t k) -> unsigned {
        return at + k < text.size() ? static_cast<unsigned char>(text[at + k]) : 0u;
    };
    const unsigned c = byte(0);
    if (c < 0x80) return 1;
    // The second byte's range rules out overlong forms, surrogates and code
    // points above U+10FFFF; the others are plain continuation bytes.
    unsigned lo = 0x80, hi = 0xBF;
    std::size_t length = 0;
    if (c >= 0xC2 && c <= 0xDF) {
        length = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
        length = 3;
        if (c == 0xE0) lo = 0xA0;
        if (c == 0xED) hi = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
        length = 4;
        if (c == 0xF0) lo = 0x90;
        if (c == 0xF4) hi = 0x8F;
    } else {
        return 0;
    }
    if (byte(1) < lo || byte(1) > hi) return 0;
    for (std::size_t k = 2; k < length; ++k)
        if (byte(k) < 0x80 || byte(k) > 0xBF) return 0;
    return length;
}

std::string Printable(const std::string& text)
{
    std::string out;
    out.reserve(text.size());
    for (std::size_t k = 0; k < text.size();) {
        const unsigned char c = static_cast<unsigned char>(text[k]);
        const std::size_t length = Utf8SequenceLength(text, k);
        if (length == 0 || c < 0x20 || c == 0x7F) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\x%02x", c);
            out += buf;
            ++k;
        } else {
            out.append(text, k, length);
            k += length;
        }
    }
    return out;
}

} // namespace host
} // namespace qvl3d
