// An incremental reader of a multipart/form-data body: bytes pushed in
// pieces of any size (a boundary may be split across them), each part's
// name, file name and content handed on as they arrive, the content never
// held whole.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace orvant::collect {

// The boundary parameter of a Content-Type "multipart/form-data; boundary=B"
// (quoted or not); empty when the type is another or the parameter is
// missing or not 1 to 70 characters.
std::string MultipartBoundary(const std::string& contentType);

class TMultipartSink {
public:
    virtual ~TMultipartSink() = default;
    // A part begins: the name and filename parameters of its
    // Content-Disposition (empty when absent).
    virtual void PartBegin(const std::string& name, const std::string& fileName) = 0;
    virtual void PartData(const uint8_t* data, size_t n) = 0;
    virtual void PartEnd() = 0;
};

// Reads "--B CRLF headers CRLF CRLF content CRLF --B ... --B--". Before the
// first delimiter a preamble is skipped; after the closing one only an
// epilogue of CR, LF, space and tab is taken. Every part needs a
// Content-Disposition of form-data with a name; header blocks are limited to
// 8 KiB. The first fault stops it: Failed(), Error().
class TMultipartReader {
public:
    TMultipartReader(std::string boundary, TMultipartSink& sink);

    bool Feed(const uint8_t* data, size_t n);  // false once failed
    bool Finish();                             // true when the closing delimiter was read
    bool Failed() const { return !fError.empty(); }
    bool Complete() const { return fState == TState::epilogue && !Failed(); }
    const std::string& Error() const { return fError; }

private:
    enum class TState { preamble, afterDelimiter, headers, content, epilogue };
    bool Fail(const std::string& why);
    bool Headers();
    std::string fDelimiter;  // CRLF "--" boundary
    TMultipartSink& fSink;
    TState fState = TState::preamble;
    std::string fHold;  // bytes that may start a delimiter, or the header block so far
    std::string fError;
};

}  // namespace orvant::collect
