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

std::string ProgramFolder() {
    std::string exe = ProgramPath();
    auto slash = exe.rfind('/');
    return slash == std::string::npos ? std::string("./") : exe.substr(0, slash + 1);
}

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

}  // namespace orvant
