#pragma once

#include <QStringList>

// The audio tests run under an application whose top-level handler catches the program's
// exceptions as the program's own does, and whose audio messages are recorded instead of shown.

// Messages of exceptions that reached the top-level handler, oldest first.
QStringList& CaughtExceptions();
// Texts given to the audio layer's message function, oldest first.
QStringList& ShownMessages();

#include "audio/devices/virtualwavedevice.h"
#include "audio/wavelib.h"
#include "audio/waveread.h"

#include <cstdint>
#include <gtest/gtest.h>
#include <vector>

// Every test of this fixture runs against a fresh virtual sound card.
class TVirtualDeviceTest : public testing::Test {
protected:
    void SetUp() override {
        Previous = SetWaveDeviceFactory(&Device);
        CaughtExceptions().clear();
        ShownMessages().clear();
    }
    void TearDown() override {
        StopPlayback();
        SetWaveDeviceFactory(Previous);
    }

    TVirtualWaveDevice Device;
    TWaveDeviceFactory* Previous = nullptr;
};

// The device record of a wave type.
TWaveFormat RecordOf(TWaveTypes waveType);
// Reproducible noise: every byte value turns up, so any lost, repeated or altered sample shows.
std::vector<uint8_t> NoisePcm(size_t bytes, uint32_t seed);
