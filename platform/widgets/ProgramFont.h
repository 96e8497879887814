// The font the program's windows use: "Tahoma", made available from
// fonts/tahoma.ttf in the program folder or else from the copy Debian's
// fonts-wine installs outside fontconfig's paths when the family is not
// otherwise known; the default font when there is none.
#pragma once

#include <QFont>

namespace orvant {

// Tahoma at the given point size, or the application's default font at
// that size when no Tahoma can be found. Needs a QGuiApplication.
QFont ProgramFont(int pointSize = 8);

// True when the "Tahoma" family is available (after registering the
// fallback file if needed).
bool TahomaAvailable();

}  // namespace orvant
