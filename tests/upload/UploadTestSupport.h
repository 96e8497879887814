// Shared by the upload tests and benchmarks: a scratch folder that removes
// itself, file helpers, and the test collection server run as a child
// process on 127.0.0.1.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "tests/support/Files.h"
#include "tests/support/ScratchDir.h"

namespace orvant::testing {

// A scratch folder whose path ends with '/'.
class TScratchDir : public testsupport::TScratchDir {
public:
    TScratchDir() : testsupport::TScratchDir("orvant-upload"), fPath(testsupport::TScratchDir::Path() + "/") {}
    // With a trailing '/'.
    const std::string& Path() const { return fPath; }
    std::string operator/(const std::string& name) const { return fPath + name; }

private:
    std::string fPath;
};

using testsupport::ReadFile;
using testsupport::WriteFile;
// Bytes that compress somewhat, like speech: a noisy slow wave.
std::string PseudoAudio(size_t bytes, uint32_t seed);

class TCollectionServer {
public:
    // Starts tests/upload/collection_server.py in mode; with sourceDir the
    // server compares every archive entry with the file of that folder.
    // extraArgs go to the script as they are (--fail-first N, --tls-cert F
    // --tls-key F).
    explicit TCollectionServer(const std::string& mode, const std::string& sourceDir = "",
                               const std::vector<std::string>& extraArgs = {});
    ~TCollectionServer();
    TCollectionServer(const TCollectionServer&) = delete;
    TCollectionServer& operator=(const TCollectionServer&) = delete;

    int Port() const { return fPort; }
    std::string Host() const { return "127.0.0.1:" + std::to_string(fPort); }
    std::string Url(const char* scheme = "http://") const { return scheme + Host() + "/phpu/sndupload.php"; }
    const std::string& SaveDir() const { return fSaveDir; }
    // The record of request n (1-based) as JSON text, waiting up to two
    // minutes for the server to finish it; empty when it never appears.
    std::string WaitRecord(int n) const;
    bool HasRecord(int n) const;
    // True once the server holds request n (modes hang and hold).
    bool Held(int n) const;
    // Lets a held request (mode hold) be answered.
    void Release() const;

private:
    TScratchDir fDir;
    std::string fSaveDir;
    pid_t fPid = -1;
    int fPort = 0;
};

// A port on 127.0.0.1 where nothing listens (bound, then closed).
int UnusedPort();

// Runs the server script's archive check; returns its JSON output and sets
// ok to whether every check passed.
std::string CheckArchiveWithPython(const std::string& archive, const std::string& sourceDir, bool& ok);

}  // namespace orvant::testing
