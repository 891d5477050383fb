#pragma once

// A station on the virtual sound card, with its settings folder and messages under the test's
// control, and no window and no widget application: what the headless service runs.

#include "audio/devices/virtualwavedevice.h"
#include "audio/wavemessage.h"
#include "station/defaults.h"
#include "station/station.h"
#include "support/handlers.h"

#include <QCoreApplication>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

constexpr uint64_t OneGiB = uint64_t(1) << 30;

// Lets the station handle what the devices told it, and what that handling posted in turn.
inline void HandleEvents() {
    for (int pass = 0; pass < 3; ++pass)
        QCoreApplication::processEvents();
}

class TStationTest : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(Config.isValid());
        qputenv("XDG_CONFIG_HOME", Config.path().toUtf8());
        SetWaveDeviceFactory(&Device);
        PreviousWaveMessage =
            SetWaveMessageFunction([this](const QString& text) { WaveMessages << text; });
        PreviousErrorMessage =
            SetExceptionMessageFunction([this](const QString& text) { Errors << text; });
    }
    void TearDown() override {
        SetExceptionMessageFunction(std::move(PreviousErrorMessage));
        SetWaveMessageFunction(std::move(PreviousWaveMessage));
        SetWaveDeviceFactory(nullptr);
    }
    void WriteSettings(const QByteArray& text) const {
        QFile file(DefaultsFileName());
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(text);
    }

    QTemporaryDir Config;
    TVirtualWaveDevice Device;
    QStringList Errors;
    QStringList WaveMessages;

private:
    TWaveMessageFunction PreviousWaveMessage;
    TExceptionMessageFunction PreviousErrorMessage;
};
