// The level meter on "Rec" as the speaker sees it: the main window records
// SECONDS from the default sound device (ALSA) and the program counts, over
// the steady part after the first reading, the level readings that reached
// the button and the button's repaints, with the largest gap between two
// readings. Run it where a capture device exists, for example on the private
// desktop of bench/program_recording.py (its "meter" test does so).
// Usage: bench_app_meter [seconds]
#include <QApplication>
#include <QElapsedTimer>
#include <QTreeWidget>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "app/uMain.h"
#include "bench/PaintCounter.h"
#include "audio/WaveRecorders.h"

int main(int argc, char* argv[]) {
    const double seconds = argc > 1 ? std::max(2.0, std::atof(argv[1])) : 20.0;
    QApplication app(argc, argv);
    QCoreApplication::setApplicationName("Orvant Sound Recording Tool");
    orvant::SetErrorBoxHook([](const QString&, const QString& m) {
        std::fprintf(stderr, "error: %s\n", m.toUtf8().constData());
        std::exit(1);
    });
    std::string dir = (std::filesystem::temp_directory_path() / "orvant-meter-XXXXXX").string();
    if (!mkdtemp(dir.data())) return 1;
    dir += "/";
    std::filesystem::create_directory(dir + "recorded");
    std::ofstream(dir + "orvant.xml") << "<r caption=\"Meter\"><p caption=\"One\" wav=\"one\"/></r>";

    {
        orvant::TDlgSndRecMain w(dir + "orvant");
        w.show();
        w.tv->setCurrentItem(w.tv->topLevelItem(0)->child(0));
        PaintCounter paints;
        w.btnRec->installEventFilter(&paints);
        QElapsedTimer clock;
        clock.start();
        std::vector<double> readings;  // seconds since Rec, one per level reading
        const auto shown = w.Recorder->OnLevel;
        w.Recorder->OnLevel = [&](orvant::TWaveAudioIO* sender, int32_t level) {
            readings.push_back(clock.nsecsElapsed() / 1e9);
            shown(sender, level);
        };
        w.btnRec->click();
        if (!w.Recorder->Active()) {
            std::fprintf(stderr, "the recording did not start\n");
            return 1;
        }
        int paintsAtFirst = -1;
        while (clock.nsecsElapsed() / 1e9 < seconds) {
            QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 20);
            if (paintsAtFirst < 0 && !readings.empty()) paintsAtFirst = paints.paints;
        }
        const int paintsEnd = paints.paints;
        const double end = clock.nsecsElapsed() / 1e9;
        w.btnStop->click();
        if (readings.size() < 3) {
            std::fprintf(stderr, "only %zu level readings\n", readings.size());
            return 1;
        }
        const double span = end - readings.front();
        double gap = 0;
        for (size_t i = 1; i < readings.size(); ++i) gap = std::max(gap, readings[i] - readings[i - 1]);
        std::printf("recorded %.1f s; first reading %.2f s after Rec\n", end, readings.front());
        std::printf("level readings: %zu in %.1f s = %.1f per second, largest gap %.0f ms\n", readings.size() - 1, span,
                    (readings.size() - 1) / span, gap * 1000);
        std::printf("repaints of Rec: %d in %.1f s = %.1f per second\n", paintsEnd - paintsAtFirst, span,
                    (paintsEnd - paintsAtFirst) / span);
    }
    std::filesystem::remove_all(dir);
    return 0;
}
