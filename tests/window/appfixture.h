#pragma once

// A main window on the virtual sound card, with its settings folder, message boxes and memory
// figure under the test's control.

#include "app/application.h"
#include "audio/devices/virtualwavedevice.h"
#include "audio/wavemessage.h"
#include "window/mainwindow.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QFile>
#include <QStringList>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <memory>
#include <ostream>

// Readable failure messages for texts.
inline void PrintTo(const QString& text, std::ostream* out) {
    *out << '"' << text.toStdString() << '"';
}

constexpr uint64_t OneGiB = uint64_t(1) << 30;

// Lets the window handle what the devices told it, and what that handling posted in turn.
inline void HandleEvents() {
    for (int pass = 0; pass < 3; ++pass)
        QCoreApplication::processEvents();
}

class AppTest : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(ConfigDir.isValid());
        qputenv("XDG_CONFIG_HOME", ConfigDir.path().toUtf8());
        SetWaveDeviceFactory(&Device);
        PreviousWaveMessage =
            SetWaveMessageFunction([this](const QString& text) { WaveMessages << text; });
        PreviousErrorMessage =
            SetExceptionMessageFunction([this](const QString& text) { Errors << text; });
    }

    void TearDown() override {
        Window.reset();
        SetExceptionMessageFunction(std::move(PreviousErrorMessage));
        SetWaveMessageFunction(std::move(PreviousWaveMessage));
        SetWaveDeviceFactory(nullptr);
    }

    // One window at a time, as in the program: the scope view belongs to the latest.
    // The window measures AvailableMemory whenever it asks, so a test may change it later.
    TMainWindow& MakeWindow(uint64_t availableMemory = OneGiB) {
        Window.reset();
        AvailableMemory = availableMemory;
        Window = std::make_unique<TMainWindow>([this] { return AvailableMemory; });
        return *Window;
    }

    QString IniFileName() const { return ConfigDir.filePath(QStringLiteral("Lagvane.ini")); }

    void WriteIni(const QByteArray& text) const {
        QFile file(IniFileName());
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(text);
    }

    QString ReadIni() const {
        QFile file(IniFileName());
        return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
    }

    QTemporaryDir ConfigDir;
    TVirtualWaveDevice Device;
    uint64_t AvailableMemory = OneGiB;
    QStringList WaveMessages;
    QStringList Errors;
    std::unique_ptr<TMainWindow> Window;

private:
    TWaveMessageFunction PreviousWaveMessage;
    TExceptionMessageFunction PreviousErrorMessage;
};
