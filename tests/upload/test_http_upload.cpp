#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <algorithm>
#include <cstdlib>
#include <initializer_list>

#include "platform/Streams.h"
#include "tests/upload/UploadTestSupport.h"
#include "upload/HttpUpload.h"
#include "upload/VoiceArchive.h"

using namespace orvant;
using namespace orvant::testing;

namespace {

QJsonObject Json(const std::string& text) { return QJsonDocument::fromJson(QByteArray::fromStdString(text)).object(); }

// A recorded folder with two takes and info.txt, and its archive.
struct TArchiveFixture {
    TScratchDir src, out;
    std::string archive;
    explicit TArchiveFixture(const std::string& name = "v121008153012345.zlb") {
        WriteFile(src / "take1.wav", PseudoAudio(40000, 1));
        WriteFile(src / "take2.wav", PseudoAudio(120000, 2));
        WriteFile(src / "info.txt", "Speakername=A\r\nCountry=B\r\nRegion=C\r\n");
        archive = out / name;
        BuildVoiceArchive({src / "take1.wav", src / "take2.wav", src / "info.txt"}, archive);
    }
    int64_t Size() const { return TFileStream(archive, fmOpenRead | fmShareDenyNone).Size(); }
};

struct TWorkTrace {
    std::vector<std::pair<TWorkMode, int64_t>> calls;
    void Attach(THttpClient& c) {
        c.OnWork = [this](THttpClient&, TWorkMode m, int64_t n) { calls.emplace_back(m, n); };
    }
};

}  // namespace

TEST(HttpUpload, FrameAroundTheArchiveIs387BytesForTheProgramsNames) {
    const TMultipartFrame f = MakeMultipartFrame("--------100812153012345", "v121008153012345.zlb");
    EXPECT_EQ(f.head.size() + f.tail.size(), 387u);
    EXPECT_EQ(f.ContentType(), "multipart/form-data; boundary=--------100812153012345");
    const std::string b = NewMultipartBoundary();
    EXPECT_EQ(b.size(), 23u);
    EXPECT_EQ(b.substr(0, 8), "--------");
    EXPECT_TRUE(std::all_of(b.begin() + 8, b.end(), [](char c) { return c >= '0' && c <= '9'; })) << b;
}

TEST(HttpUpload, ReplyIsJudgedTrimmedAndCaseSensitive) {
    EXPECT_TRUE(IsAcceptedReply("E=0"));
    EXPECT_TRUE(IsAcceptedReply(" \t\r\nE=0\r\n\x01"));
    EXPECT_FALSE(IsAcceptedReply("e=0"));
    EXPECT_FALSE(IsAcceptedReply("E=00"));
    EXPECT_FALSE(IsAcceptedReply("E=1"));
    EXPECT_FALSE(IsAcceptedReply("E = 0"));
    EXPECT_FALSE(IsAcceptedReply(""));
}

TEST(HttpUpload, EndpointHostComesFromTheEnvironmentWhenSet) {
    for (const auto& [host, url] : std::initializer_list<std::pair<const char*, const char*>>{
             {"collect.example:8081", "http://collect.example:8081/phpu/sndupload.php"},
             {"https://collect.example", "https://collect.example/phpu/sndupload.php"},
             {"https://collect.example:8443/", "https://collect.example:8443/phpu/sndupload.php"},
             {"http://collect.example", "http://collect.example/phpu/sndupload.php"},
         }) {
        ::setenv("ORVANT_UPLOAD_HOST", host, 1);
        EXPECT_EQ(CollectionServerUrl(), url);
    }
    ::setenv("ORVANT_UPLOAD_HOST", "", 1);
    const std::string fallback = CollectionServerUrl();
    ::unsetenv("ORVANT_UPLOAD_HOST");
    EXPECT_EQ(CollectionServerUrl(), fallback);
    EXPECT_EQ(fallback.rfind("http://", 0), 0u);
    EXPECT_EQ(fallback.substr(fallback.size() - 19), "/phpu/sndupload.php");
}

TEST(HttpUpload, ServerReceivesTheRequestAsLaidOutAndAcceptsIt) {
    TArchiveFixture a;
    TCollectionServer server("ok", a.src.Path());
    THttpClient client;
    TWorkTrace trace;
    trace.Attach(client);
    const TUploadResult r = UploadArchiveTo(client, server.Url(), a.archive);
    EXPECT_EQ(r.outcome, TUploadOutcome::uoAccepted) << r.error << " " << r.reply;
    const QJsonObject rec = Json(server.WaitRecord(1));
    EXPECT_TRUE(rec["errors"].toArray().isEmpty()) << server.WaitRecord(1);
    EXPECT_EQ(rec["content_length"].toInteger(), a.Size() + 387);
    EXPECT_EQ(rec["received"].toInteger(), a.Size() + 387);
    EXPECT_EQ(rec["sndfile_filename"].toString(), "v121008153012345.zlb");
    EXPECT_EQ(rec["entries"].toArray().size(), 3);
    EXPECT_EQ(ReadFile(server.SaveDir() + "/1.zlb"), ReadFile(a.archive));

    // Progress: the sent count climbs to the body's length, then the reply
    // is counted anew and stays within its few bytes.
    ASSERT_FALSE(trace.calls.empty());
    int64_t maxWrite = 0;
    bool readSeen = false, writeAfterRead = false;
    for (auto& [m, n] : trace.calls) {
        if (m == TWorkMode::wmWrite) {
            maxWrite = std::max(maxWrite, n);
            writeAfterRead |= readSeen;
        } else {
            readSeen = true;
            EXPECT_LE(n, 3);
        }
    }
    EXPECT_EQ(maxWrite, a.Size() + 387);
    EXPECT_FALSE(writeAfterRead);
    EXPECT_TRUE(readSeen);
    EXPECT_EQ(trace.calls.back().first, TWorkMode::wmRead);
}

TEST(HttpUpload, OnlyTheExactReplyWithASuccessStatusCounts) {
    TArchiveFixture a;
    const struct {
        const char* mode;
        TUploadOutcome outcome;
    } cases[] = {
        {"spaces", TUploadOutcome::uoAccepted}, {"e0lower", TUploadOutcome::uoRejected},
        {"E00", TUploadOutcome::uoRejected},    {"404", TUploadOutcome::uoFailed},
        {"500", TUploadOutcome::uoFailed},      {"302", TUploadOutcome::uoFailed},
        {"drop", TUploadOutcome::uoFailed},
    };
    for (const auto& c : cases) {
        TCollectionServer server(c.mode, a.src.Path());
        THttpClient client;
        const TUploadResult r = UploadArchiveTo(client, server.Url(), a.archive);
        EXPECT_EQ(r.outcome, c.outcome) << c.mode << ": " << r.error << " / " << r.reply;
        const QJsonObject rec = Json(server.WaitRecord(1));
        if (std::string(c.mode) != "drop") {
            EXPECT_TRUE(rec["errors"].toArray().isEmpty()) << c.mode << ": " << server.WaitRecord(1);
        }
        EXPECT_FALSE(server.HasRecord(2)) << c.mode << ": a redirect was followed";
    }
}

TEST(HttpUpload, ArchiveIsOpenedByItsRealPathAndSentLowered) {
    TArchiveFixture a("V121008153012345.ZLB");
    TCollectionServer server("ok", a.src.Path());
    THttpClient client;
    const TUploadResult r = UploadArchiveTo(client, server.Url(), a.archive);
    EXPECT_EQ(r.outcome, TUploadOutcome::uoAccepted) << r.error << " " << r.reply;
    EXPECT_EQ(Json(server.WaitRecord(1))["filename_field"].toString(), "v121008153012345.zlb");
}

TEST(HttpUpload, DisconnectDuringTheTransferFailsIt) {
    TArchiveFixture a;
    TCollectionServer server("hang", a.src.Path());
    THttpClient client;
    bool wasConnected = false;
    client.OnWork = [&](THttpClient& c, TWorkMode, int64_t) {
        if (server.Held(1)) {
            wasConnected = c.Connected();
            c.Disconnect();
        }
    };
    const TUploadResult r = UploadArchiveTo(client, server.Url(), a.archive);
    EXPECT_TRUE(wasConnected);
    EXPECT_FALSE(client.Connected());
    EXPECT_EQ(r.outcome, TUploadOutcome::uoFailed);
    EXPECT_TRUE(Json(server.WaitRecord(1))["client_disconnected"].toBool());

    // The client is usable again afterwards.
    TCollectionServer ok("ok", a.src.Path());
    client.OnWork = nullptr;
    EXPECT_EQ(UploadArchiveTo(client, ok.Url(), a.archive).outcome, TUploadOutcome::uoAccepted);
}

TEST(HttpUpload, MissingArchiveAndUnreachableServerFailWithoutRaising) {
    TArchiveFixture a;
    THttpClient client;
    const TUploadResult missing =
        UploadArchiveTo(client, "http://127.0.0.1:1/phpu/sndupload.php", a.out / "v000000000000000.zlb");
    EXPECT_EQ(missing.outcome, TUploadOutcome::uoFailed);
    EXPECT_NE(missing.error.find("kann nicht geöffnet werden"), std::string::npos) << missing.error;

    const std::string url = "http://127.0.0.1:" + std::to_string(UnusedPort()) + "/phpu/sndupload.php";
    const TUploadResult refused = UploadArchiveTo(client, url, a.archive);
    EXPECT_EQ(refused.outcome, TUploadOutcome::uoFailed);
    EXPECT_FALSE(refused.error.empty());

    // An archive locked by a writer cannot be sent either.
    TFileStream writer(a.archive, fmOpenWrite | fmShareExclusive);
    EXPECT_EQ(UploadArchiveTo(client, url, a.archive).outcome, TUploadOutcome::uoFailed);
}

namespace {

// A self-signed certificate and its key in folder, for the names given as
// subjectAltName ("IP:127.0.0.1", "DNS:localhost").
std::string MakeCertificate(const TScratchDir& folder, const std::string& stem, const std::string& altNames) {
    int status = -1;
    const std::string out = testsupport::RunCommand(
        "openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=orvant-test -addext subjectAltName=" + altNames +
            " -keyout '" + folder / (stem + ".key") + "' -out '" + folder / (stem + ".pem") + "' 2>&1",
        &status);
    EXPECT_EQ(status, 0) << out;
    return folder / stem;
}

}  // namespace

TEST(HttpUpload, HttpsSendsOnlyToAServerWhoseCertificateChecksOut) {
    TArchiveFixture a;
    TScratchDir certs;
    const std::string good = MakeCertificate(certs, "good", "IP:127.0.0.1");
    const std::string other = MakeCertificate(certs, "other", "DNS:elsewhere.example");
    const struct {
        const char* what;
        std::string cert;     // the server's
        std::string caFile;   // what the client trusts; empty: the system's authorities
        const char* scheme;
        TUploadOutcome outcome;
    } cases[] = {
        {"trusted", good, good + ".pem", "https://", TUploadOutcome::uoAccepted},
        {"unknown authority", good, "", "https://", TUploadOutcome::uoFailed},
        {"name does not match", other, other + ".pem", "https://", TUploadOutcome::uoFailed},
        {"plain HTTP to a TLS server", good, good + ".pem", "http://", TUploadOutcome::uoFailed},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TCollectionServer server("ok", a.src.Path(), {"--tls-cert", c.cert + ".pem", "--tls-key", c.cert + ".key"});
        ::setenv("ORVANT_UPLOAD_CA_FILE", c.caFile.c_str(), 1);
        THttpClient client;
        const TUploadResult r = UploadArchiveTo(client, server.Url(c.scheme), a.archive);
        EXPECT_EQ(r.outcome, c.outcome) << r.error;
        if (c.caFile.empty() || c.cert == other) {
            EXPECT_FALSE(r.mayPass) << r.error;  // a certificate does not fix itself
        }
        if (c.outcome == TUploadOutcome::uoAccepted) {
            EXPECT_TRUE(Json(server.WaitRecord(1))["errors"].toArray().isEmpty()) << server.WaitRecord(1);
        } else {
            EXPECT_FALSE(server.HasRecord(1)) << "a request reached the server";
        }
    }
    ::unsetenv("ORVANT_UPLOAD_CA_FILE");
}

TEST(HttpUpload, FailuresThatMayPassAreTriedAgainTheOthersNot) {
    TArchiveFixture a;
    const struct {
        const char* mode;
        int failFirst;
        TUploadOutcome outcome;
        int requests;  // that reached the server
        int pauses;
    } cases[] = {
        {"ok", 2, TUploadOutcome::uoAccepted, 3, 2},  // 503 twice, then accepted
        {"500", 0, TUploadOutcome::uoFailed, 4, 3},
        {"drop", 0, TUploadOutcome::uoFailed, 4, 3},
        {"404", 0, TUploadOutcome::uoFailed, 1, 0},
        {"E00", 0, TUploadOutcome::uoRejected, 1, 0},
        {"unreachable", 0, TUploadOutcome::uoFailed, 0, 3},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.mode);
        const bool unreachable = std::string(c.mode) == "unreachable";
        std::unique_ptr<TCollectionServer> server;
        if (!unreachable)
            server = std::make_unique<TCollectionServer>(c.mode, a.src.Path(),
                                                         std::vector<std::string>{"--fail-first",
                                                                                  std::to_string(c.failFirst)});
        const std::string url = unreachable ? "http://127.0.0.1:" + std::to_string(UnusedPort()) + "/phpu/sndupload.php"
                                            : server->Url();
        THttpClient client;
        std::vector<int> pauses;
        const TUploadResult r = UploadArchiveWithRetries(
            client, url, a.archive, [&](int attempt, int ms) {
                pauses.push_back(attempt * 1000 + ms);
                return true;
            },
            {1, 2, 3});
        EXPECT_EQ(r.outcome, c.outcome) << r.error;
        EXPECT_EQ(int(pauses.size()), c.pauses);
        for (size_t i = 0; i < pauses.size(); ++i) EXPECT_EQ(pauses[i], int(i + 1) * 1001);
        if (server) {
            if (c.requests > 0) server->WaitRecord(c.requests);
            EXPECT_FALSE(server->HasRecord(c.requests + 1));
            EXPECT_TRUE(c.requests == 0 || server->HasRecord(c.requests));
        }
    }

    // A pause called off ends the tries with the last failure.
    TCollectionServer busy("500", a.src.Path());
    THttpClient client;
    int pauses = 0;
    const TUploadResult r = UploadArchiveWithRetries(client, busy.Url(), a.archive, [&](int, int) {
        ++pauses;
        return false;
    });
    EXPECT_EQ(pauses, 1);
    EXPECT_EQ(r.status, 500);
    EXPECT_FALSE(busy.HasRecord(2));
}
