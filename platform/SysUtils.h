// Runtime basics shared by every layer: the exception base with a message,
// the rounding scaled division, and small file-system helpers.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace orvant {

// Base of every exception the program raises; what() is the message shown
// to the user.
class Exception : public std::runtime_error {
public:
    explicit Exception(const std::string& msg) : std::runtime_error(msg) {}
    std::string Message() const { return what(); }
};

// a * b / c with a 64-bit intermediate product, rounded to nearest with
// halves away from zero. -1 when c is 0 or the result does not fit int32.
int32_t MulDiv(int32_t a, int32_t b, int32_t c) noexcept;

// Text of errno value e, as the system words it.
std::string SysErrorMessage(int e);

// Folder of the running executable, with a trailing '/'.
std::string ProgramFolder();
// Folder of the executable at programPath, with a trailing '/' ("./" when
// the path names no folder).
std::string ProgramFolder(const std::string& programPath);

// The program's two working folders beside its executable, each with a
// trailing '/': the reference samples, and the speaker's takes (with the
// speaker information the upload writes). programFolder may lack its
// trailing '/'. Neither folder is created or checked.
std::string SamplesFolder(const std::string& programFolder);
std::string RecordedFolder(const std::string& programFolder);

// The executable's own path.
std::string ProgramPath();

// True when path names an existing file that is not a folder.
bool FileExists(const std::string& path);

// Absolute form of path (relative paths are taken against the current
// directory); no symlink resolution, the file need not exist.
std::string ExpandFileName(const std::string& path);
// The part of path after its last '/' (all of it when there is none).
std::string ExtractFileName(const std::string& path);

// Length of the valid UTF-8 sequence at s[i] and its code point in cp; 0
// when the bytes there do not form one.
size_t DecodeUtf8(const std::string& s, size_t i, char32_t& cp);

// utf8 as UTF-16 code units; characters outside the Basic Multilingual
// Plane become surrogate pairs, bytes that are not valid UTF-8 U+FFFD.
std::u16string Utf8ToUtf16(const std::string& utf8);

}  // namespace orvant
