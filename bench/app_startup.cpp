// Start-up of the main window on a large catalogue: 10,000 phrases in five
// levels (1 + 10 + 100 + 1,000 groups and 10,000 phrases with take names).
// Measured in one run, each repeated and reported as the median:
//   parse  - the bare parse of the catalogue file by the same XML parser
//   window - creating the main window on that catalogue (load, tree, records)
//            until it is shown and its tree has painted
// and their ratio. With a take count, the first that many phrases get a
// take of three seconds (22050 Hz 16-bit stereo) in recorded/, and it also
// reports
//   checks - from the window's first paint until every take has been checked
//            (off the main thread) and the progress count is shown.
// Usage: bench_app_startup [repetitions] [takes]
#include <QApplication>
#include <QDomDocument>
#include <QElapsedTimer>
#include <QFile>
#include <QTreeWidget>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "app/uMain.h"
#include "bench/PaintCounter.h"

namespace {

std::string MakeProgramFolder() {
    std::string dir = (std::filesystem::temp_directory_path() / "orvant-bench-XXXXXX").string();
    if (!mkdtemp(dir.data())) {
        std::perror("mkdtemp");
        std::exit(1);
    }
    dir += "/";
    std::filesystem::create_directory(dir + "samples");
    std::filesystem::create_directory(dir + "recorded");
    std::ofstream xml(dir + "orvant.xml");
    xml << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<catalogue caption=\"All phrases\">\n";
    int phrase = 0;
    for (int a = 0; a < 10; ++a) {
        xml << " <part caption=\"Part " << a << "\">\n";
        for (int b = 0; b < 10; ++b) {
            xml << "  <chapter caption=\"Chapter " << a << "." << b << "\">\n";
            for (int c = 0; c < 10; ++c) {
                xml << "   <set caption=\"Set " << a << "." << b << "." << c << "\">\n";
                for (int d = 0; d < 10; ++d, ++phrase)
                    xml << "    <phrase caption=\"Phrase number " << phrase << ", spoken clearly.\" wav=\"p"
                        << phrase << "\"/>\n";
                xml << "   </set>\n";
            }
            xml << "  </chapter>\n";
        }
        xml << " </part>\n";
    }
    xml << "</catalogue>\n";
    return dir;
}

// Three seconds of a 440 Hz tone at a speaking level in bursts, as a take.
void WriteTakes(const std::string& dir, int count) {
    const uint32_t frames = 3 * 22050, data = frames * 4;
    std::string b;
    auto u32 = [&](uint32_t v) { for (int i = 0; i < 4; ++i) b += char((v >> (8 * i)) & 0xFF); };
    auto u16 = [&](uint16_t v) { b += char(v & 0xFF); b += char(v >> 8); };
    b += "RIFF"; u32(36 + data); b += "WAVEfmt "; u32(16);
    u16(1); u16(2); u32(22050); u32(88200); u16(4); u16(16);
    b += "data"; u32(data);
    for (uint32_t i = 0; i < frames; ++i) {
        const double s = (i / 4410) % 3 == 2 ? 0 : 9000 * std::sin(2 * 3.14159265358979 * 440 * i / 22050);
        const auto v = static_cast<uint16_t>(static_cast<int16_t>(std::lround(s)));
        u16(v); u16(v);
    }
    for (int i = 0; i < count; ++i) std::ofstream(dir + "recorded/p" + std::to_string(i) + ".wav", std::ios::binary) << b;
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

}  // namespace

int main(int argc, char* argv[]) {
    const int reps = argc > 1 ? std::max(1, std::atoi(argv[1])) : 11;
    const int takes = argc > 2 ? std::clamp(std::atoi(argv[2]), 0, 10000) : 0;
    qputenv("QT_QPA_PLATFORM", qgetenv("QT_QPA_PLATFORM").isEmpty() ? "offscreen" : qgetenv("QT_QPA_PLATFORM"));
    QApplication app(argc, argv);
    QCoreApplication::setApplicationName("Orvant Sound Recording Tool");
    orvant::SetErrorBoxHook([](const QString&, const QString& m) {
        std::fprintf(stderr, "error: %s\n", m.toUtf8().constData());
        std::exit(1);
    });
    const std::string dir = MakeProgramFolder();
    const QString catalogue = QString::fromStdString(dir + "orvant.xml");
    WriteTakes(dir, takes);

    std::vector<double> parse, window, checks;
    int nodes = 0;
    for (int i = 0; i < reps + 1; ++i) {  // the first round warms up and is not counted
        // The document is released outside the timing, as the window keeps
        // its document beyond the timed part too.
        QElapsedTimer t;
        auto doc = std::make_unique<QDomDocument>();
        t.start();
        {
            QFile f(catalogue);
            if (!f.open(QIODevice::ReadOnly) || !doc->setContent(&f)) return 1;
        }
        const double parseMs = t.nsecsElapsed() / 1e6;
        doc.reset();

        t.restart();
        auto* w = new orvant::TDlgSndRecMain(dir + "orvant");
        PaintCounter counter;
        w->tv->viewport()->installEventFilter(&counter);
        w->show();
        while (counter.paints == 0) QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 50);
        const double windowMs = t.nsecsElapsed() / 1e6;
        while (w->PendingTakeChecks() > 0) QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 50);
        const double checksMs = t.nsecsElapsed() / 1e6 - windowMs;
        if (w->btnCompressAndUpload->Note() != QString("%1 of 10000 recorded").arg(takes)) {
            std::fprintf(stderr, "unexpected count: %s\n", w->btnCompressAndUpload->Note().toUtf8().constData());
            return 1;
        }
        nodes = 0;
        for (QTreeWidgetItemIterator it(w->tv); *it; ++it) ++nodes;
        delete w;
        if (i > 0) {
            parse.push_back(parseMs);
            window.push_back(windowMs);
            checks.push_back(checksMs);
        }
    }
    std::filesystem::remove_all(dir);
    const double p = Median(parse), wnd = Median(window);
    std::printf("catalogue: %d nodes (10,000 phrases in five levels), %d repetitions\n", nodes, reps);
    std::printf("bare parse (QDomDocument):        median %8.2f ms\n", p);
    std::printf("window created, loaded and shown: median %8.2f ms\n", wnd);
    std::printf("ratio window / parse: %.2f (goal: at most 3)\n", wnd / p);
    std::printf("then every take checked (%d takes of 3 s): median %8.2f ms\n", takes, Median(checks));
    return 0;
}
