#include "platform/widgets/ProgramFont.h"

#include <QFontDatabase>
#include <QGuiApplication>

namespace orvant {

namespace {
const char* const kFamily = "Tahoma";
const char* const kFallbackFile = "/usr/share/wine/fonts/tahoma.ttf";
}  // namespace

bool TahomaAvailable() {
    static const bool available = [] {
        if (QFontDatabase::families().contains(kFamily, Qt::CaseInsensitive)) return true;
        const int id = QFontDatabase::addApplicationFont(kFallbackFile);
        return id >= 0 &&
               QFontDatabase::applicationFontFamilies(id).contains(kFamily, Qt::CaseInsensitive);
    }();
    return available;
}

QFont ProgramFont(int pointSize) {
    QFont f = TahomaAvailable() ? QFont(kFamily) : QGuiApplication::font();
    f.setPointSize(pointSize);
    f.setWeight(QFont::Normal);
    f.setItalic(false);
    return f;
}

}  // namespace orvant
