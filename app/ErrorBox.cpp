#include "app/ErrorBox.h"

#include <QApplication>
#include <QMessageBox>

#include "audio/WaveIO.h"
#include "platform/SysUtils.h"

namespace orvant {

namespace {

TErrorBoxHook& ErrorBoxHook() {
    static TErrorBoxHook hook;
    return hook;
}

// The engine message shown last; cleared whenever the speaker gives a
// command, so that the same failure is told once per command, not once per
// buffer (a full disk fails every buffer of a recording).
QString& LastEngineMessage() {
    static QString last;
    return last;
}

}  // namespace

QString ApplicationTitle() { return QCoreApplication::applicationName(); }

void SetErrorBoxHook(TErrorBoxHook hook) { ErrorBoxHook() = std::move(hook); }

void ShowErrorBox(const QString& message) {
    if (ErrorBoxHook()) {
        ErrorBoxHook()(ApplicationTitle(), message);
        return;
    }
    QMessageBox box(QMessageBox::Critical, ApplicationTitle(), message, QMessageBox::Ok,
                    QApplication::activeWindow());
    box.exec();
}

std::string PlayFailureText(const std::string& what, const std::string& path, uint32_t code,
                            const std::string& deviceText) {
    if (code != WAVERR_BADFORMAT) return deviceText;
    return "The " + what + " \"" + ExtractFileName(path) +
           "\" cannot be played: its sound format is not one this program can play. Saved again as 16-bit PCM "
           "WAVE it will play.\n\n" + deviceText;
}

void ShowException(const std::exception& e) { ShowErrorBox(QString::fromStdString(e.what())); }

void InstallEngineExceptionDisplay() {
    // An exception that escaped a device-message handler is shown after the
    // handler has returned, from the main thread's event loop: a modal box
    // opened inside the handler would dispatch the device's next messages
    // inside it. Repeats of the message shown last are not shown again until
    // the next command, so the window stays reachable for "Stop".
    SetApplicationExceptionHandler([](const std::exception& e) {
        const QString message = QString::fromStdString(e.what());
        QCoreApplication* app = QCoreApplication::instance();
        if (!app) return;
        QMetaObject::invokeMethod(
            app,
            [message] {
                if (LastEngineMessage() == message) return;
                LastEngineMessage() = message;
                ShowErrorBox(message);
            },
            Qt::QueuedConnection);
    });
}

void ForgetEngineMessage() { LastEngineMessage().clear(); }

}  // namespace orvant
