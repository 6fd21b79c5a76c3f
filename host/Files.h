// Files the host and its programs write, and how they show file names.
//
// CReplacingFile writes a file whole or not at all: the bytes go to a new,
// unnamed file in the target's folder, which is flushed, synced and closed
// with every step checked, and only then linked in and renamed over the
// target. A full disk, a file-size limit, a signal or a kill therefore
// leaves a previous file as it was, and neither a partial one nor a
// temporary beside it. A target that is not a regular file (/dev/null, a pipe) is
// written in place, with the same checks; a symbolic link is written
// through, as opening it would.
#ifndef QVL3D_HOST_FILES_H
#define QVL3D_HOST_FILES_H

#include <cstddef>
#include <cstdio>
#include <string>

namespace qvl3d {
namespace host {

class CReplacingFile {
public:
    // Throws std::runtime_error("cannot write PATH: reason") on any failure
    // here and in the calls below; the temporary file is gone by then.
    explicit CReplacingFile(const std::string& path);
    ~CReplacingFile(); // without Commit: the temporary is removed, the target untouched
    CReplacingFile(const CReplacingFile&) = delete;
    CReplacingFile& operator=(const CReplacingFile&) = delete;

    void Write(const std::string& text);
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    void
    Printf(const char* format, ...);
    // Flush, sync, close, rename over the target.
    void Commit();

private:
    void Discard() noexcept;
    [[noreturn]] void Fail(int error);

    std::string m_path;      // as given, for messages
    std::string m_target;    // the file replaced (the link's target for a link)
    std::string m_temporary; // the named file renamed over the target; empty: none (yet)
    bool m_unnamed = false;  // writing an unnamed file, linked in at Commit
    std::FILE* m_file = nullptr;
};

// The whole of text as the file at path, through CReplacingFile.
void ReplaceFile(const std::string& path, const std::string& text);

// True when a and b name the same regular file (the same device and inode,
// through links and other spellings), or, when neither exists yet, the same
// place once resolved ("x", "./x", "dir/../x").
bool SameFile(const std::string& a, const std::string& b);

// Text for a message or a line of a summary: bytes that would break the
// line or are not UTF-8 (control characters, invalid sequences) are shown
// as \xHH, everything else as it is.
std::string Printable(const std::string& text);

// The length of the well-formed UTF-8 sequence that starts at text[at]
// (1 for ASCII), or 0 when none does: a stray continuation byte, an overlong
// form, a surrogate, a code point above U+10FFFF or a cut sequence.
std::size_t Utf8SequenceLength(const std::string& text, std::size_t at);

} // namespace host
} // namespace qvl3d

#endif
