#include "collect/OperatorAccess.h"

#include <arpa/inet.h>

#include <QByteArray>
#include <QFile>

#include "collect/Files.h"
#include "platform/SysUtils.h"

namespace orvant {

namespace {

std::string_view Trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
}

bool ParseCount(std::string_view s, uint64_t& v) {
    if (s.empty() || s.size() > 19) return false;
    v = 0;
    for (char c : s) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + uint64_t(c - '0');
    }
    return true;
}

std::string Digest(const QByteArray& bytes) {
    collect::TSha256 hash;
    hash.Update(bytes.data(), size_t(bytes.size()));
    return hash.Hex();
}

}  // namespace

bool BasicAuthMatches(std::string_view header, const std::string& password) {
    header = Trim(header);
    if (header.size() < 6 || QByteArray(header.data(), 6).toLower() != "basic ") return false;
    const std::string_view encoded = Trim(header.substr(6));
    const auto decoded = QByteArray::fromBase64Encoding(QByteArray(encoded.data(), qsizetype(encoded.size())),
                                                        QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded) return false;
    const QByteArray& pair = *decoded;
    const qsizetype colon = pair.indexOf(':');
    if (colon < 0) return false;
    const std::string given = Digest(pair.mid(colon + 1));
    const std::string wanted = Digest(QByteArray::fromStdString(password));
    unsigned char diff = 0;
    for (size_t i = 0; i < given.size(); ++i) diff |= static_cast<unsigned char>(given[i] ^ wanted[i]);
    const bool userOk = pair.left(colon) == "operator";
    return (diff == 0) & userOk;
}

std::string ReadPasswordFile(const std::string& path) {
    QFile f(QString::fromStdString(path));
    if (!f.open(QIODevice::ReadOnly))
        throw Exception("The password file \"" + path + "\" cannot be read: " + f.errorString().toStdString());
    QByteArray line = f.readLine(4096);
    while (line.endsWith('\n') || line.endsWith('\r')) line.chop(1);
    if (line.isEmpty()) throw Exception("The password file \"" + path + "\" has an empty first line.");
    return line.toStdString();
}

bool IsLoopbackAddress(const std::string& address) {
    in_addr v4{};
    if (inet_pton(AF_INET, address.c_str(), &v4) == 1) return (ntohl(v4.s_addr) >> 24) == 127;
    in6_addr v6{};
    if (inet_pton(AF_INET6, address.c_str(), &v6) != 1) return false;
    static const uint8_t loop[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    if (std::equal(v6.s6_addr, v6.s6_addr + 16, loop)) return true;
    static const uint8_t mapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
    return std::equal(v6.s6_addr, v6.s6_addr + 12, mapped) && v6.s6_addr[12] == 127;
}

int64_t TLoginThrottle::WaitSeconds(const std::string& address, TClock::time_point now) {
    std::lock_guard<std::mutex> lock(fLock);
    const auto it = fEntries.find(address);
    if (it == fEntries.end() || it->second.lockedUntil <= now) return 0;
    return std::chrono::ceil<std::chrono::seconds>(it->second.lockedUntil - now).count();
}

void TLoginThrottle::Failed(const std::string& address, TClock::time_point now) {
    std::lock_guard<std::mutex> lock(fLock);
    if (fEntries.size() >= 10000) {
        // Forget the addresses that have been quiet for a lockout and are
        // not locked; a flood of fresh ones cannot grow the table further.
        for (auto it = fEntries.begin(); it != fEntries.end();)
            it = it->second.lockedUntil <= now && now - it->second.last > kLockout ? fEntries.erase(it) : std::next(it);
        if (fEntries.size() >= 10000) fEntries.erase(fEntries.begin());
    }
    TEntry& e = fEntries[address];
    e.last = now;
    if (e.lockedUntil != TClock::time_point{} && e.lockedUntil <= now) e.failures = 0;  // served its time
    if (++e.failures >= kFailures) e.lockedUntil = now + kLockout;
}

void TLoginThrottle::Succeeded(const std::string& address) {
    std::lock_guard<std::mutex> lock(fLock);
    fEntries.erase(address);
}

TByteRange ParseByteRange(std::string_view header, uint64_t size) {
    TByteRange whole;
    header = Trim(header);
    if (!header.starts_with("bytes=")) return whole;
    const std::string_view spec = Trim(header.substr(6));
    if (spec.find(',') != std::string_view::npos) return whole;
    const size_t dash = spec.find('-');
    if (dash == std::string_view::npos) return whole;
    const std::string_view a = Trim(spec.substr(0, dash)), b = Trim(spec.substr(dash + 1));
    uint64_t first = 0, last = 0;
    if (a.empty()) {  // the last n bytes
        if (!ParseCount(b, last)) return whole;
        if (last == 0 || size == 0) return {TByteRange::kUnsatisfiable, 0, 0};
        return {TByteRange::kPart, size - std::min(last, size), size - 1};
    }
    if (!ParseCount(a, first)) return whole;
    if (b.empty())
        last = size ? size - 1 : 0;
    else if (!ParseCount(b, last) || last < first)
        return whole;
    if (first >= size) return {TByteRange::kUnsatisfiable, 0, 0};
    return {TByteRange::kPart, first, std::min(last, size - 1)};
}

}  // namespace orvant
