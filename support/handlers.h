#pragma once

// The program's top-level error handling: an exception that leaves a handler is shown on the
// message board with its message, and the program goes on.

#include <QString>
#include <exception>
#include <functional>

// Shows the text of an exception that reached the top; by default the message board's box,
// which never blocks; tests install their own to read them. Returns the previous function; an
// empty function restores the box.
using TExceptionMessageFunction = std::function<void(const QString& text)>;
TExceptionMessageFunction SetExceptionMessageFunction(TExceptionMessageFunction function);

// The operator's text for an exception: the program's own message, "Out of memory" for a
// failed allocation, else what the exception says.
QString ExceptionMessage(const std::exception& error);

// Shows the exception being handled right now (call from a catch block).
void ShowCurrentException();
// Shows a failure the program noticed itself, the way an exception that reached the top is.
void ShowErrorMessage(const QString& text);

// Runs a handler; whatever it throws is shown and goes no further. Handlers that Qt calls
// through signals run this way, since an exception must not unwind through Qt's own frames.
template <typename THandler> void RunHandler(THandler&& handler) {
    try {
        handler();
    } catch (...) {
        ShowCurrentException();
    }
}
