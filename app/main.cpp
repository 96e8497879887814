// Program entry: the application object, then the main window, then the
// message loop until the main window closes.
#include <QApplication>

#include "app/uMain.h"
#include "platform/widgets/ProgramFont.h"

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    QCoreApplication::setApplicationName("Orvant Sound Recording Tool");
    QApplication::setFont(orvant::ProgramFont(8));
    orvant::InstallEngineExceptionDisplay();
    orvant::TDlgSndRecMain DlgSndRecMain;
    DlgSndRecMain.show();
    return app.exec();
}
