#pragma once

// A main window on the virtual sound card, with its settings folder, messages and memory figure
// under the test's control.

#include "app/application.h"
#include "tests/station/stationfixture.h"
#include "window/mainwindow.h"

#include <memory>
#include <ostream>

// Readable failure messages for texts.
inline void PrintTo(const QString& text, std::ostream* out) {
    *out << '"' << text.toStdString() << '"';
}

class AppTest : public TStationTest {
protected:
    void TearDown() override {
        Window.reset();
        TStationTest::TearDown();
    }

    // One window at a time, as in the program: the scope view belongs to the latest.
    // The window measures AvailableMemory whenever it asks, so a test may change it later.
    TMainWindow& MakeWindow(uint64_t availableMemory = OneGiB) {
        Window.reset();
        AvailableMemory = availableMemory;
        Window = std::make_unique<TMainWindow>([this] { return AvailableMemory; });
        return *Window;
    }

    QString IniFileName() const { return Config.filePath(QStringLiteral("Lagvane.ini")); }

    void WriteIni(const QByteArray& text) const {
        QFile file(IniFileName());
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(text);
    }

    QString ReadIni() const {
        QFile file(IniFileName());
        return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
    }

    uint64_t AvailableMemory = OneGiB;
    std::unique_ptr<TMainWindow> Window;
};
