#include "platform/widgets/ProgramFont.h"

#include <QFontDatabase>
#include <QGuiApplication>
#include <string>

#include "platform/SysUtils.h"

namespace orvant {

namespace {
const char* const kFamily = "Tahoma";
const char* const kFallbackFile = "/usr/share/wine/fonts/tahoma.ttf";
}  // namespace

bool TahomaAvailable() {
    static const bool available = [] {
        if (QFontDatabase::families().contains(kFamily, Qt::CaseInsensitive)) return true;
        // A program folder may carry its own copy (a speaker kit does).
        for (const std::string& file : {ProgramFolder() + "fonts/tahoma.ttf", std::string(kFallbackFile)}) {
            const int id = QFontDatabase::addApplicationFont(QString::fromStdString(file));
            if (id >= 0 && QFontDatabase::applicationFontFamilies(id).contains(kFamily, Qt::CaseInsensitive))
                return true;
        }
        return false;
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
