// Sends files to a collection server the way the recording program does:
// one voice archive built by BuildVoiceArchive, posted by UploadArchiveTo.
// usage: collect_upload_folder URL FILE...   (exit 0 when the server said E=0)
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "platform/Streams.h"
#include "upload/HttpUpload.h"
#include "upload/VoiceArchive.h"

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fputs("usage: collect_upload_folder URL FILE...\n", stderr);
        return 2;
    }
    const std::vector<std::string> files(argv + 2, argv + argc);
    char dir[] = "/tmp/orvant-upload-XXXXXX";
    if (!mkdtemp(dir)) return 2;
    // The archive's name is the program's own: "v" + the time + ".zlb".
    std::string path;
    { auto stream = orvant::CreateVoiceArchiveFile(std::string(dir) + "/", path); }
    ::unlink(path.c_str());
    int status = 1;
    try {
        if (orvant::BuildVoiceArchive(files, path)) {
            orvant::THttpClient client;
            const orvant::TUploadResult r = orvant::UploadArchiveTo(client, argv[1], path);
            std::printf("status %ld, reply \"%s\"%s%s\n", r.status, r.reply.c_str(), r.error.empty() ? "" : ", ",
                        r.error.c_str());
            status = r.outcome == orvant::TUploadOutcome::uoAccepted ? 0 : 1;
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
    }
    ::unlink(path.c_str());
    ::rmdir(dir);
    return status;
}
