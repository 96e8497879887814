#include "platform/SysUtils.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

namespace orvant {

int32_t MulDiv(int32_t a, int32_t b, int32_t c) noexcept {
    if (c == 0) return -1;
    const int64_t p = int64_t(a) * int64_t(b);
    // Work on magnitudes so that halves round away from zero for every sign.
    const bool negative = (p < 0) != (c < 0);
    const uint64_t up = p < 0 ? uint64_t(0) - uint64_t(p) : uint64_t(p);
    const uint64_t uc = c < 0 ? uint64_t(0) - uint64_t(int64_t(c)) : uint64_t(c);
    const uint64_t q = up / uc;
    const uint64_t r = up % uc;
    const uint64_t rounded = q + (r * 2 >= uc ? 1 : 0);
    if (negative) {
        if (rounded > uint64_t(INT32_MAX) + 1) return -1;
        return int32_t(-int64_t(rounded));
    }
    if (rounded > uint64_t(INT32_MAX)) return -1;
    return int32_t(rounded);
}

std::string SysErrorMessage(int e) {
    char buf[256];
    // GNU strerror_r may return a static string instead of filling buf.
    const char* s = strerror_r(e, buf, sizeof buf);
    return s ? std::string(s) : std::string();
}

std::string ProgramPath() {
    std::error_code ec;
    auto p = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ec ? std::string() : p.string();
}

std::string ProgramFolder() { return ProgramFolder(ProgramPath()); }

std::string ProgramFolder(const std::string& programPath) {
    const auto slash = programPath.rfind('/');
    return slash == std::string::npos ? std::string("./") : programPath.substr(0, slash + 1);
}

namespace {

std::string WorkingFolder(const std::string& programFolder, const char* name) {
    std::string path = programFolder;
    if (!path.empty() && path.back() != '/') path += '/';
    return path + name + '/';
}

}  // namespace

std::string SamplesFolder(const std::string& programFolder) { return WorkingFolder(programFolder, "samples"); }

std::string RecordedFolder(const std::string& programFolder) { return WorkingFolder(programFolder, "recorded"); }

bool FileExists(const std::string& path) {
    struct stat st {};
    return !path.empty() && ::stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

std::string ExpandFileName(const std::string& path) {
    if (path.empty() || path[0] == '/') return path;
    std::error_code ec;
    auto cwd = std::filesystem::current_path(ec);
    if (ec) return path;
    return (cwd / path).lexically_normal().string();
}

// Length of the valid UTF-8 sequence at s[i] and its code point; 0 when the
// bytes there do not form one.
size_t DecodeUtf8(const std::string& s, size_t i, char32_t& cp) {
    const auto b = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
    const unsigned char c = b(i);
    size_t len;
    char32_t min;
    if (c < 0x80) { cp = c; return 1; }
    if ((c & 0xE0) == 0xC0) { len = 2; cp = c & 0x1F; min = 0x80; }
    else if ((c & 0xF0) == 0xE0) { len = 3; cp = c & 0x0F; min = 0x800; }
    else if ((c & 0xF8) == 0xF0) { len = 4; cp = c & 0x07; min = 0x10000; }
    else return 0;
    if (i + len > s.size()) return 0;
    for (size_t k = 1; k < len; ++k) {
        if ((b(i + k) & 0xC0) != 0x80) return 0;
        cp = (cp << 6) | (b(i + k) & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
    return len;
}

std::u16string Utf8ToUtf16(const std::string& utf8) {
    std::u16string out;
    out.reserve(utf8.size());
    for (size_t i = 0; i < utf8.size();) {
        char32_t cp;
        const size_t n = DecodeUtf8(utf8, i, cp);
        if (n == 0) { out += u'\xFFFD'; ++i; continue; }
        i += n;
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out += char16_t(0xD800 + (cp >> 10));
            out += char16_t(0xDC00 + (cp & 0x3FF));
        } else {
            out += char16_t(cp);
        }
    }
    return out;
}

std::string ExtractFileName(const std::string& path) {
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace orvant
