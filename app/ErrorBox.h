// The application's standard error box, and the display of failures that
// the device engine reports from its message handlers.
#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <string>

#include <QString>

namespace orvant {

// The error box: a critical message box captioned with the application's
// title that shows the message.
QString ApplicationTitle();
void ShowErrorBox(const QString& message);
void ShowException(const std::exception& e);
// The text of a file the player could not open (what: "reference sample",
// "take"): when the device refused the file's format, it names the file and
// says so in plain words, with the device's text after it; any other failure
// keeps the device's text alone.
std::string PlayFailureText(const std::string& what, const std::string& path, uint32_t code,
                            const std::string& deviceText);
// Tests route the error box here instead of a modal message box; an empty
// hook restores the message box.
using TErrorBoxHook = std::function<void(const QString& caption, const QString& message)>;
void SetErrorBoxHook(TErrorBoxHook hook);

// Points the device engine's exception display at the error box. Called
// from any thread; the box opens later on the main thread. A message equal
// to the one shown last is not shown again before the next command.
void InstallEngineExceptionDisplay();
// A command begins: the next engine message is shown even when it repeats
// the one shown last.
void ForgetEngineMessage();

}  // namespace orvant
