// orvant-collect: the collection server and its tools.
//   serve --store DIR --listen ADDR:PORT [--tls-cert F --tls-key F] [limits]
//   verify FILE.zlb | unpack FILE.zlb DIR | reindex --store DIR
//   export --store DIR --catalogue FILE [options] OUT
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <iterator>
#include <map>
#include <thread>

#include "app/Catalogue.h"
#include "collect/Collector.h"
#include "collect/Export.h"
#include "collect/Files.h"
#include "collect/Http.h"
#include "collect/Index.h"
#include "collect/OperatorSite.h"
#include "collect/Tools.h"

using namespace orvant::collect;

namespace {

const char* const kUsage =
    "usage: orvant-collect serve --store DIR [--listen ADDR:PORT] [--tls-cert FILE --tls-key FILE]\n"
    "                            [--max-body BYTES] [--max-connections N] [--per-address N]\n"
    "                            [--idle-timeout SECONDS] [--grace SECONDS] [--allow-root]\n"
    "                            [--operator-password-file FILE [--catalogue FILE]]\n"
    "       orvant-collect verify FILE.zlb\n"
    "       orvant-collect unpack FILE.zlb DIR\n"
    "       orvant-collect reindex --store DIR\n"
    "       orvant-collect export --store DIR --catalogue FILE [--rate HZ] [--mono] [--trim]\n"
    "                             [--trim-margin MS] [--include-flagged] [--latest] [--names] OUT\n";

int Usage(const std::string& why) {
    std::cerr << "orvant-collect: " << why << "\n" << kUsage;
    return 2;
}

// --name value pairs and lone flags after the command.
struct TArgs {
    std::map<std::string, std::string> values;
    std::vector<std::string> positional;
    std::string error;
};

TArgs Parse(int argc, char** argv, int from, const std::vector<std::string>& flags) {
    TArgs a;
    for (int i = from; i < argc; ++i) {
        const std::string s = argv[i];
        if (s.rfind("--", 0) != 0) {
            a.positional.push_back(s);
            continue;
        }
        if (std::find(flags.begin(), flags.end(), s) != flags.end()) {
            // Not operator=("1"): GCC 12 at -O3 takes that assignment for an
            // overlapping copy (-Wrestrict) and the Release build fails.
            a.values.insert_or_assign(s, std::string("1"));
            continue;
        }
        if (i + 1 >= argc) {
            a.error.append(s).append(" needs a value");
            return a;
        }
        a.values[s] = argv[++i];
    }
    return a;
}

bool Number(const TArgs& a, const std::string& key, uint64_t& v, std::string& why) {
    auto it = a.values.find(key);
    if (it == a.values.end()) return true;
    char* end = nullptr;
    const unsigned long long n = std::strtoull(it->second.c_str(), &end, 10);
    if (it->second.empty() || *end) {
        why = key + " needs a number";
        return false;
    }
    v = n;
    return true;
}

std::string ReadText(const std::string& path, bool& ok) {
    std::ifstream f(path, std::ios::binary);
    ok = bool(f);
    return {std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
}

int Serve(const TArgs& a) {
    static const std::vector<std::string> known = {"--store",       "--listen",          "--tls-cert",
                                                   "--tls-key",     "--max-body",        "--max-connections",
                                                   "--per-address", "--idle-timeout",    "--grace",
                                                   "--allow-root",  "--operator-password-file", "--catalogue"};
    for (const auto& [k, v] : a.values)
        if (std::find(known.begin(), known.end(), k) == known.end()) return Usage("unknown option " + k);
    if (!a.positional.empty()) return Usage("unexpected argument " + a.positional[0]);
    if (!a.values.count("--store")) return Usage("serve needs --store DIR");
    if (::geteuid() == 0 && !a.values.count("--allow-root"))
        return Usage("refusing to run as root (a hostile upload would meet a root process); --allow-root overrides");
    THttpOptions http;
    TCollectLimits limits;
    uint64_t maxConn = 64, perAddr = 8, idle = 60, grace = 30;
    std::string why;
    if (!Number(a, "--max-body", limits.maxBody, why) || !Number(a, "--max-connections", maxConn, why) ||
        !Number(a, "--per-address", perAddr, why) || !Number(a, "--idle-timeout", idle, why) ||
        !Number(a, "--grace", grace, why))
        return Usage(why);
    http.maxConnections = unsigned(maxConn);
    http.perAddress = unsigned(perAddr);
    http.idleSeconds = unsigned(idle);
    if (a.values.count("--listen")) http.listen = a.values.at("--listen");
    if (a.values.count("--tls-cert") != a.values.count("--tls-key")) return Usage("--tls-cert and --tls-key go together");
    if (a.values.count("--tls-cert")) {
        bool ok1, ok2;
        http.tlsCertPem = ReadText(a.values.at("--tls-cert"), ok1);
        http.tlsKeyPem = ReadText(a.values.at("--tls-key"), ok2);
        if (!ok1 || !ok2) return Usage("cannot read the TLS certificate or key");
    }
    const std::string store = a.values.at("--store");
    // The operator's page: only with a password, and over plain HTTP only
    // where nobody but this machine can listen in.
    std::string password;
    std::vector<orvant::TCataloguePhrase> catalogue;
    const bool operatorPage = a.values.count("--operator-password-file") > 0;
    if (operatorPage) {
        if (!OperatorPageAllowed(http.listen, !http.tlsCertPem.empty()))
            return Usage("the operator's page needs TLS (--tls-cert, --tls-key) unless it listens on a loopback "
                         "address such as 127.0.0.1");
        try {
            password = orvant::ReadPasswordFile(a.values.at("--operator-password-file"));
            if (a.values.count("--catalogue")) catalogue = orvant::ReadCatalogue(a.values.at("--catalogue"));
        } catch (const std::exception& e) {
            std::cerr << "orvant-collect: " << e.what() << std::endl;
            return 1;
        }
    } else if (a.values.count("--catalogue")) {
        return Usage("--catalogue is for the operator's page; give --operator-password-file too");
    }

    // SIGTERM and SIGINT are taken by this thread alone (sigwait below); the
    // server's threads inherit the mask.
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);
    ::signal(SIGPIPE, SIG_IGN);

    try {
        PrepareStore(store);
        std::unique_ptr<TUploadIndex> index = OpenSqliteIndex(StoreIndexPath(store));
        TCollector collector(store, *index, limits);
        std::unique_ptr<TOperatorSite> site;  // outlives the server that calls it
        THttpServer server(http);
        server.Post("/phpu/sndupload.php", [&collector] { return collector.NewUpload(); });
        if (operatorPage) {
            site = std::make_unique<TOperatorSite>(*index, store, password, catalogue,
                                                   a.values.count("--catalogue") > 0);
            site->Register(server);
        }
        server.Start();
        std::cout << "orvant-collect: listening on " << (http.tlsCertPem.empty() ? "http://" : "https://")
                  << server.BoundAddress() << std::endl;
        int sig = 0;
        sigwait(&stop, &sig);
        // Said once no connection is taken any more, so that whoever reads the
        // log knows the port is closed.
        server.StopAccepting();
        std::cerr << "orvant-collect: stopping (signal " << sig << "), " << server.BodiesInFlight()
                  << " uploads in flight" << std::endl;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(grace);
        while (server.BodiesInFlight() > 0 && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        if (server.BodiesInFlight() > 0)
            std::cerr << "orvant-collect: grace period over, dropping " << server.BodiesInFlight() << " uploads"
                      << std::endl;
        server.Stop();
        std::cerr << "orvant-collect: stopped" << std::endl;
    } catch (const std::exception& e) {
        std::cerr << "orvant-collect: " << e.what() << std::endl;
        return 1;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return Usage("no command");
    const std::string cmd = argv[1];
    if (cmd == "serve") {
        const TArgs a = Parse(argc, argv, 2, {"--allow-root"});
        if (!a.error.empty()) return Usage(a.error);
        return Serve(a);
    }
    if (cmd == "verify") {
        if (argc != 3) return Usage("verify takes one archive");
        return VerifyArchive(argv[2], std::cout, std::cerr);
    }
    if (cmd == "unpack") {
        if (argc != 4) return Usage("unpack takes an archive and a folder");
        return UnpackArchive(argv[2], argv[3], std::cout, std::cerr);
    }
    if (cmd == "reindex") {
        const TArgs a = Parse(argc, argv, 2, {});
        if (!a.error.empty() || !a.values.count("--store") || a.values.size() != 1 || !a.positional.empty())
            return Usage("reindex takes --store DIR");
        return Reindex(a.values.at("--store"), std::cout, std::cerr);
    }
    if (cmd == "export") return orvant::ExportCommand(argc - 2, argv + 2);
    if (cmd == "--help" || cmd == "-h" || cmd == "help") {
        std::cout << kUsage;
        return 0;
    }
    return Usage("unknown command " + cmd);
}
