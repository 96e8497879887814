#include "upload/UFileUtils.h"

#include "platform/SysUtils.h"

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <dirent.h>
#include <fnmatch.h>
#include <iconv.h>
#include <langinfo.h>
#include <sys/stat.h>

#include "platform/SysUtils.h"

namespace orvant {

namespace {

bool MatchesMask(const std::string& mask, const char* name) {
    if (mask == "*" || mask == "*.*") return true;
    return ::fnmatch(mask.c_str(), name, 0) == 0;
}

// Reads every entry name of folder (without "." and ".."), in the order the
// directory yields them. Empty when the folder cannot be read.
std::vector<std::string> ReadFolder(const std::string& folder) {
    std::vector<std::string> names;
    DIR* d = ::opendir(folder.c_str());
    if (!d) return names;
    while (const dirent* e = ::readdir(d)) names.emplace_back(e->d_name);
    ::closedir(d);
    return names;
}

}  // namespace

void ListFolderFiles(std::vector<std::string>& list, const std::string& folder, const std::string& mask,
                     bool subFolders) {
    std::string dir = folder;
    if (dir.empty() || dir.back() != '/') dir += '/';
    const std::vector<std::string> names = ReadFolder(dir);

    for (const std::string& name : names) {
        if (name[0] == '.' || !MatchesMask(mask, name.c_str())) continue;
        struct stat st {};
        // Follows symbolic links: a link to a take is the take. Only regular
        // files are kept; opening a pipe for reading would block the build.
        if (::stat((dir + name).c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
        list.push_back(dir + name);
    }

    if (!subFolders) return;
    for (const std::string& name : names) {
        if (name[0] == '.') continue;
        struct stat st {};
        if (::lstat((dir + name).c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) continue;
        ListFolderFiles(list, dir + name, mask, true);
    }
}

std::string GetTempFolder() {
    const char* env = std::getenv("TMPDIR");
    std::string path = env && *env ? env : "/tmp";
    if (path.back() != '/') path += '/';
    if (path.size() < 3) throw Exception("Unable to locate temp folder.");
    return path;
}

int32_t GetFileSizeOf(const std::string& path) {
    struct stat st {};
    if (path.empty() || ::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return 0;
    return int32_t(uint32_t(uint64_t(st.st_size) & 0xFFFFFFFFu));
}

std::string FormatLocalTime(const std::string& pattern, std::chrono::system_clock::time_point t) {
    using namespace std::chrono;
    const auto ms = duration_cast<milliseconds>(t.time_since_epoch()).count();
    const std::time_t secs = std::time_t(ms / 1000 - (ms % 1000 < 0 ? 1 : 0));
    const int millis = int(((ms % 1000) + 1000) % 1000);
    std::tm tm {};
    ::localtime_r(&secs, &tm);
    auto two = [](int v) {
        char b[3] = {char('0' + v / 10 % 10), char('0' + v % 10), 0};
        return std::string(b);
    };
    std::string out;
    for (size_t i = 0; i < pattern.size();) {
        const std::string rest = pattern.substr(i);
        if (rest.rfind("zzz", 0) == 0) {
            out += std::to_string(millis / 100) + std::to_string(millis / 10 % 10) + std::to_string(millis % 10);
            i += 3;
        } else if (rest.rfind("yy", 0) == 0) {
            out += two(tm.tm_year % 100); i += 2;
        } else if (rest.rfind("mm", 0) == 0) {
            out += two(tm.tm_mon + 1); i += 2;
        } else if (rest.rfind("dd", 0) == 0) {
            out += two(tm.tm_mday); i += 2;
        } else if (rest.rfind("hh", 0) == 0) {
            out += two(tm.tm_hour); i += 2;
        } else if (rest.rfind("nn", 0) == 0) {
            out += two(tm.tm_min); i += 2;
        } else if (rest.rfind("ss", 0) == 0) {
            out += two(tm.tm_sec); i += 2;
        } else {
            out += pattern[i++];
        }
    }
    return out;
}



std::string ToLocaleCharset(const std::string& utf8) {
    const char* codeset = ::nl_langinfo(CODESET);
    iconv_t cd = ::iconv_open(codeset && *codeset ? codeset : "ASCII", "UTF-8");
    if (cd == iconv_t(-1)) {
        // A character set iconv does not know: keep ASCII, mark the rest.
        std::string out;
        for (size_t i = 0; i < utf8.size();) {
            char32_t cp;
            const size_t n = DecodeUtf8(utf8, i, cp);
            out += n && cp < 0x80 ? char(cp) : '?';
            i += n ? n : 1;
        }
        return out;
    }
    std::string out;
    char buf[16];
    for (size_t i = 0; i < utf8.size();) {
        char32_t cp;
        const size_t n = DecodeUtf8(utf8, i, cp);
        if (n == 0) { out += '?'; ++i; continue; }
        // One character at a time, so that one the set lacks costs only itself.
        char* in = const_cast<char*>(utf8.data() + i);
        size_t inLeft = n;
        char* o = buf;
        size_t outLeft = sizeof buf;
        if (::iconv(cd, &in, &inLeft, &o, &outLeft) == size_t(-1) || inLeft != 0) {
            ::iconv(cd, nullptr, nullptr, nullptr, nullptr);
            out += '?';
        } else {
            out.append(buf, size_t(o - buf));
        }
        i += n;
    }
    // Return to the initial shift state for stateful sets.
    char* o = buf;
    size_t outLeft = sizeof buf;
    if (::iconv(cd, nullptr, nullptr, &o, &outLeft) != size_t(-1)) out.append(buf, size_t(o - buf));
    ::iconv_close(cd);
    return out;
}

}  // namespace orvant
