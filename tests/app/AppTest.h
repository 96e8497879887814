// Support for the workbench tests: an application object, a throw-away
// program folder with a catalogue, samples/ and recorded/, and a capture of
// the error box.
#pragma once

#include <gtest/gtest.h>

#include <QApplication>
#include <QDeadlineTimer>
#include <QImage>
#include <QString>
#include <QTreeWidget>

#include <chrono>
#include <ostream>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app/uMain.h"
#include "tests/support/DevicesSettled.h"
#include "tests/support/Files.h"
#include "tests/support/ScratchDir.h"

QT_BEGIN_NAMESPACE
inline void PrintTo(const QRect& r, std::ostream* os) {
    *os << "QRect(" << r.x() << "," << r.y() << " " << r.width() << "x" << r.height() << ")";
}
QT_END_NAMESPACE

namespace orvant::test {

inline QApplication& App() {
    static int argc = 1;
    static char name[] = "test_app";
    static char* argv[] = {name, nullptr};
    static QApplication* app = [] {
        auto* a = new QApplication(argc, argv);
        QCoreApplication::setApplicationName("Orvant Sound Recording Tool");
        return a;
    }();
    return *app;
}

// Handles events until done() holds. Gives up after a minute (far beyond
// any step on a loaded machine) with a failure naming what it waited for.
// Polls every millisecond, for conditions no event announces (a device's
// thread going back to sleep).
template <class F>
::testing::AssertionResult WaitFor(F done, const std::string& what, int timeoutMs = 60000) {
    const QDeadlineTimer limit(timeoutMs);
    while (!done()) {
        if (limit.hasExpired())
            return ::testing::AssertionFailure() << "gave up after " << timeoutMs / 1000 << " s waiting for " << what;
        QCoreApplication::processEvents(QEventLoop::AllEvents);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return ::testing::AssertionSuccess();
}

// The simulated devices and the window have done all the clock asked of
// them so far, with the events the handlers posted delivered.
inline bool DevicesSettled(const TSimWaveBackend& sim) {
    return testsupport::DevicesSettled(sim, [] { QCoreApplication::sendPostedEvents(); });
}

// A program folder of its own: <tmp>/orvant (the executable's name, not a
// real file), <tmp>/orvant.xml, <tmp>/samples/, <tmp>/recorded/.
class ProgramFolder : testsupport::TScratchDir {
public:
    ProgramFolder() : TScratchDir("orvant-app"), dir(Path() + "/") {
        std::filesystem::create_directory(dir + "samples");
        std::filesystem::create_directory(dir + "recorded");
    }
    std::string Exe() const { return dir + "orvant"; }
    void Catalogue(const std::string& xml) const { Write(dir + "orvant.xml", xml); }
    void Sample(const std::string& name) const { Write(dir + "samples/" + name, "RIFF"); }
    void Take(const std::string& name) const { Write(dir + "recorded/" + name, "RIFF"); }
    static void Write(const std::string& path, const std::string& text) { testsupport::WriteFile(path, text); }
    const std::string dir;  // with a trailing '/'
};

// Groups with takes of their own, a node that borrows its parent's, one
// below a node that has none, and a take name that would leave recorded/.
inline constexpr const char* kNestedTakesCatalogue = R"(<r caption="Top">
  <g caption="Group" wav="grp">
    <p caption="Own" wav="own"><q caption="Grandchild"/></p>
    <p caption="Borrows"/>
  </g>
  <g caption="Plain"><p caption="Child of plain" wav="cop"/></g>
  <p caption="Sneaky" wav="../outside"/>
</r>)";

// Collects what reaches the error box while it lives.
class ErrorBoxCapture {
public:
    ErrorBoxCapture() {
        SetErrorBoxHook([this](const QString& caption, const QString& message) {
            captions.push_back(caption.toStdString());
            messages.push_back(message.toStdString());
        });
    }
    ~ErrorBoxCapture() { SetErrorBoxHook({}); }
    std::vector<std::string> captions;
    std::vector<std::string> messages;
};

// Every node's caption, depth first, indented by level ("a", " b", "  c").
inline void Captions(QTreeWidgetItem* item, int level, std::vector<std::string>& out) {
    out.push_back(std::string(level, ' ') + item->text(0).toStdString());
    for (int i = 0; i < item->childCount(); ++i) Captions(item->child(i), level + 1, out);
}
inline std::vector<std::string> Captions(QTreeWidget* tv) {
    std::vector<std::string> out;
    for (int i = 0; i < tv->topLevelItemCount(); ++i) Captions(tv->topLevelItem(i), 0, out);
    return out;
}

// The window's enabled buttons, top to bottom, named without "btn": one
// comparison states them all.
inline std::string EnabledButtons(const TDlgSndRecMain& w) {
    const std::pair<const char*, const QWidget*> buttons[] = {
        {"Exit", w.btnExit},   {"PlaySample", w.btnPlaySample}, {"Rec", w.btnRec},
        {"Stop", w.btnStop},   {"Pause", w.btnPause},           {"PlayRecord", w.btnPlayRecord},
        {"CompressAndUpload", w.btnCompressAndUpload},
    };
    std::string out;
    for (const auto& [name, b] : buttons)
        if (b->isEnabled()) {
            if (!out.empty()) out += ' ';
            out += name;
        }
    return out;
}

// Pixels of the item's row, as painted now, that show a take's colour: the
// green of a recorded phrase, or its light green on the selection bar.
inline int GreenPixels(QTreeWidget* tv, QTreeWidgetItem* item) {
    const QImage img = tv->viewport()->grab().toImage();
    const QRect r = tv->visualItemRect(item).intersected(img.rect());
    int n = 0;
    for (int y = r.top(); y <= r.bottom(); ++y)
        for (int x = r.left(); x <= r.right(); ++x)
            if (const QColor c = img.pixel(x, y); c.green() - c.red() > 50 && c.green() - c.blue() > 30) ++n;
    return n;
}

}  // namespace orvant::test
