#pragma once

#include <QString>
#include <stdexcept>

// The program's failures carry the exact text the operator sees; the top-level handler shows
// Message() in a message box and the program goes on.
class Exception : public std::runtime_error {
public:
    explicit Exception(const QString& message)
        : std::runtime_error(message.toStdString()), MessageText(message) {}
    const QString& Message() const { return MessageText; }

private:
    QString MessageText;
};

class ERangeError : public Exception {
public:
    ERangeError() : Exception(QStringLiteral("Range check error")) {}
};

class EConvertError : public Exception {
public:
    using Exception::Exception;
};

class EDivByZero : public Exception {
public:
    EDivByZero() : Exception(QStringLiteral("Division by zero")) {}
};

class EInvalidOperation : public Exception {
public:
    using Exception::Exception;
};
