// Who may see the operator's pages and how a take is streamed to them: the
// Basic authorization check (user "operator", the password compared in
// constant time), the per-address throttle of wrong passwords, and the one
// byte range a player asks for.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <string_view>

namespace orvant {

// True when header (an Authorization value) is "Basic" with the base64 of
// "operator:" + password. The password is compared through its SHA-256 so
// that neither its bytes nor its length show in the time taken.
bool BasicAuthMatches(std::string_view header, const std::string& password);

// The first line of the password file, without its line end. Raises
// Exception when the file cannot be read or the line is empty.
std::string ReadPasswordFile(const std::string& path);

// True for an address of the loopback interface (127.0.0.0/8, ::1, and
// ::ffff:127.x.y.z).
bool IsLoopbackAddress(const std::string& address);

// Wrong passwords per client address: after kFailures of them the address is
// refused (429) for kLockout, whatever it sends; a right password clears its
// count. Thread-safe; the table is pruned so a flood of addresses cannot
// grow it without bound.
class TLoginThrottle {
public:
    using TClock = std::chrono::steady_clock;
    static constexpr int kFailures = 5;
    static constexpr std::chrono::seconds kLockout{60};

    // Seconds the address must still wait, 0 when it may try.
    int64_t WaitSeconds(const std::string& address, TClock::time_point now = TClock::now());
    void Failed(const std::string& address, TClock::time_point now = TClock::now());
    void Succeeded(const std::string& address);

private:
    struct TEntry {
        int failures = 0;
        TClock::time_point lockedUntil{}, last{};
    };
    std::mutex fLock;
    std::map<std::string, TEntry> fEntries;
};

// The answer to a Range header for a body of size bytes.
struct TByteRange {
    enum TKind {
        kWhole,          // no range, or one this server ignores: 200 with everything
        kPart,           // 206 with [first, last]
        kUnsatisfiable,  // 416
    };
    TKind kind = kWhole;
    uint64_t first = 0, last = 0;
    bool operator==(const TByteRange&) const = default;
};
// One "bytes=a-b", "bytes=a-" or "bytes=-n" range. A header of another unit,
// of several ranges or that does not parse is ignored (the whole body, as
// HTTP allows); a range starting at or past the end is unsatisfiable.
TByteRange ParseByteRange(std::string_view header, uint64_t size);

}  // namespace orvant
