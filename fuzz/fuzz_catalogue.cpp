// Any bytes as the program's catalogue: the main window must come up without
// crashing, hold one phrase record per tree node, report at most one error,
// and never produce a take name that leads out of recorded/ or a sample
// name that climbs out of samples/.
#include <QApplication>
#include <QTreeWidget>
#include <QTreeWidgetItemIterator>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "app/uMain.h"

using namespace orvant;

extern "C" const char* __lsan_default_suppressions() {
    // Qt's and fontconfig's caches live until the process ends.
    return "leak:libQt6\nleak:libfontconfig\nleak:libdbus\nleak:libglib\n";
}

namespace {

void Check(bool ok) {
    if (!ok) __builtin_trap();
}

std::string& Folder() {
    static std::string dir;
    return dir;
}

int gErrors = 0;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    // Never destroyed: tearing it down among the exit handlers races Qt's
    // own clean-up.
    new QApplication(*argc, *argv);
    std::string tmpl = (std::filesystem::temp_directory_path() / "orvant-fuzz-XXXXXX").string();
    Check(mkdtemp(tmpl.data()) != nullptr);
    Folder() = tmpl + "/";
    std::filesystem::create_directory(Folder() + "samples");
    std::filesystem::create_directory(Folder() + "recorded");
    SetErrorBoxHook([](const QString&, const QString&) { ++gErrors; });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    {
        std::ofstream(Folder() + "orvant.xml", std::ios::binary | std::ios::trunc)
            .write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    }
    gErrors = 0;
    TDlgSndRecMain w(Folder() + "orvant");
    Check(gErrors <= 1);
    Check(w.tv->topLevelItemCount() <= 1);
    for (QTreeWidgetItemIterator it(w.tv); *it; ++it) {
        const TWavInfo* r = WavInfoOf(*it);
        Check(r != nullptr && r == &w.Phrases().All().at(size_t(r->index)));
        if (r->recfileUsable) Check(r->recfile.find('/') == std::string::npos);
        Check(r->samplefile.find("../") == std::string::npos && r->samplefile != "..");
    }
    if (gErrors == 0 && w.tv->topLevelItemCount() == 1) Check(w.tv->topLevelItem(0)->isExpanded());
    return 0;
}
