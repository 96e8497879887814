#include "collect/Multipart.h"

#include <algorithm>
#include <cctype>

namespace orvant::collect {

namespace {

constexpr size_t kMaxHeaderBlock = 8 * 1024;
constexpr size_t kFeedPiece = 64 * 1024;

std::string Lower(std::string s) {
    for (char& c : s) c = char(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

std::string Trim(const std::string& s) {
    const size_t b = s.find_first_not_of(" \t");
    if (b == std::string::npos) return {};
    return s.substr(b, s.find_last_not_of(" \t") - b + 1);
}

// The value of parameter key (lower case) in "type; a=1; b="2"", or
// nullopt-like found=false.
std::string Parameter(const std::string& header, const std::string& key, bool& found) {
    found = false;
    size_t i = header.find(';');
    while (i != std::string::npos && i < header.size()) {
        ++i;
        while (i < header.size() && (header[i] == ' ' || header[i] == '\t')) ++i;
        const size_t eq = header.find('=', i);
        if (eq == std::string::npos) return {};
        const std::string k = Lower(Trim(header.substr(i, eq - i)));
        size_t v = eq + 1;
        std::string value;
        if (v < header.size() && header[v] == '"') {
            ++v;
            while (v < header.size() && header[v] != '"') {
                if (header[v] == '\\' && v + 1 < header.size()) ++v;
                value += header[v++];
            }
            i = header.find(';', v);
        } else {
            i = header.find(';', v);
            value = Trim(header.substr(v, i == std::string::npos ? std::string::npos : i - v));
        }
        if (k == key) {
            found = true;
            return value;
        }
    }
    return {};
}

}  // namespace

std::string MultipartBoundary(const std::string& contentType) {
    const std::string type = Lower(Trim(contentType.substr(0, contentType.find(';'))));
    if (type != "multipart/form-data") return {};
    bool found;
    std::string b = Parameter(contentType, "boundary", found);
    if (!found || b.empty() || b.size() > 70) return {};
    return b;
}

TMultipartReader::TMultipartReader(std::string boundary, TMultipartSink& sink)
    : fDelimiter("\r\n--" + boundary), fSink(sink), fHold("\r\n") {}

bool TMultipartReader::Fail(const std::string& why) {
    fError = why;
    return false;
}

bool TMultipartReader::Feed(const uint8_t* data, size_t n) {
    while (!Failed() && n > 0) {
        const size_t k = std::min(n, kFeedPiece);
        fHold.append(reinterpret_cast<const char*>(data), k);
        data += k;
        n -= k;
        for (bool more = true; more && !Failed();) {
            more = false;
            switch (fState) {
            case TState::preamble:
            case TState::content: {
                const size_t at = fHold.find(fDelimiter);
                const size_t keep = fDelimiter.size() - 1;
                const size_t emit = at != std::string::npos ? at : fHold.size() > keep ? fHold.size() - keep : 0;
                if (fState == TState::content && emit > 0)
                    fSink.PartData(reinterpret_cast<const uint8_t*>(fHold.data()), emit);
                if (at != std::string::npos) {
                    if (fState == TState::content) fSink.PartEnd();
                    fHold.erase(0, at + fDelimiter.size());
                    fState = TState::afterDelimiter;
                    more = true;
                } else {
                    fHold.erase(0, emit);
                }
                break;
            }
            case TState::afterDelimiter: {
                if (fHold.size() >= 2 && fHold.compare(0, 2, "--") == 0) {
                    fHold.erase(0, 2);
                    fState = TState::epilogue;
                    more = true;
                    break;
                }
                const size_t b = fHold.find_first_not_of(" \t");  // transport padding
                if ((b == std::string::npos ? fHold.size() : b) > 64)
                    return Fail("padding after a boundary too long");
                if (b == std::string::npos) break;
                if (fHold.size() - b < 2) break;
                if (fHold.compare(b, 2, "\r\n") != 0) return Fail("boundary not followed by CRLF or \"--\"");
                fHold.erase(0, b + 2);
                fState = TState::headers;
                more = true;
                break;
            }
            case TState::headers: {
                // An empty block is CRLF alone: look for the end in CRLF + block.
                const size_t end = ("\r\n" + fHold.substr(0, kMaxHeaderBlock + 4)).find("\r\n\r\n");
                if (end == std::string::npos) {
                    // Judged once the whole allowance is in, whatever the pieces.
                    if (fHold.size() >= kMaxHeaderBlock + 4) return Fail("part headers longer than 8 KiB");
                    break;
                }
                const std::string block = end == 0 ? std::string() : fHold.substr(0, end - 2);
                fHold.erase(0, end + 2);
                std::string name, fileName;
                bool disposition = false;
                size_t i = 0;
                while (i <= block.size() && !block.empty()) {
                    const size_t eol = std::min(block.find("\r\n", i), block.size());
                    const std::string line = block.substr(i, eol - i);
                    i = eol + 2;
                    const size_t colon = line.find(':');
                    if (colon == std::string::npos || colon == 0) return Fail("malformed part header line");
                    if (Lower(Trim(line.substr(0, colon))) != "content-disposition") continue;
                    if (disposition) return Fail("two Content-Disposition headers in one part");
                    const std::string value = Trim(line.substr(colon + 1));
                    if (Lower(Trim(value.substr(0, value.find(';')))) != "form-data")
                        return Fail("part disposition is not form-data");
                    bool found;
                    name = Parameter(value, "name", found);
                    if (!found || name.empty()) return Fail("part without a name");
                    fileName = Parameter(value, "filename", found);
                    disposition = true;
                }
                if (!disposition) return Fail("part without Content-Disposition");
                fSink.PartBegin(name, fileName);
                fState = TState::content;
                more = true;
                break;
            }
            case TState::epilogue:
                if (fHold.find_first_not_of(" \t\r\n") != std::string::npos)
                    return Fail("bytes after the closing boundary");
                fHold.clear();
                break;
            }
        }
    }
    return !Failed();
}

bool TMultipartReader::Finish() {
    if (Failed()) return false;
    if (fState != TState::epilogue) return Fail("body ends before the closing boundary");
    return true;
}

}  // namespace orvant::collect
