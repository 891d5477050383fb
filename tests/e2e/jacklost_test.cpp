#include "audio/devices/systemdevice.h"
#include "audio/wavelib.h"
#include "audio/wavemessage.h"
#include "audio/waveread.h"
#include "support/deadlinecall.h"
#include "support/errors.h"
#include "tests/e2e/jacktestclient.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <gtest/gtest.h>

namespace {

constexpr int SampleRate = 44100;
// Far more than a stop takes; a stop that waits for a dead server never returns at all.
constexpr qint64 StopLimitMs = 5000;

void HandleEventsFor(qint64 milliseconds) {
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < milliseconds)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 10);
}

// The JACK server goes away in the middle of a run: stopping playback and capture still
// returns at once with every buffer back, and a new start fails with its message.
TEST(JackLostTest, StopReturnsAfterTheServerWentAway) {
    TPrivateJackServer server(SampleRate);
    ASSERT_TRUE(server.Running());
    server.Use();
    QStringList messages;
    SetWaveMessageFunction([&](const QString& text) { messages.append(text); });

    TWaveReader reader;
    reader.SetWaveType(wf44Khz_Stereo_16Bit);
    reader.SampleCount = SampleRate / 10;
    int buffers = 0;
    bool dropBuffers = false;
    reader.OnWaveIn = [&](QObject*, void* buffer, int32_t sampleCount, const TWaveDataFormat&) {
        if (dropBuffers)
            return;
        ++buffers;
        try {
            PlayBuffer(buffer, sampleCount * 4);
        } catch (const Exception&) {
            // The output may notice the loss first; the stop below is what is tested.
        }
    };
    TWaveFormat record;
    TWaveDataFormat format;
    reader.GetFormat(format);
    TWaveReader::MakeWaveFormat(record, format);
    OpenPlayback(record);
    reader.Start();
    HandleEventsFor(600);
    EXPECT_GT(buffers, 0);

    server.Stop();
    HandleEventsFor(300);
    dropBuffers = true;
    QElapsedTimer clock;
    clock.start();
    StopPlayback();
    reader.Stop();
    EXPECT_LT(clock.elapsed(), StopLimitMs);
    EXPECT_EQ(PlaybackPending(), 0);
    EXPECT_EQ(reader.PendingCount(), 0);
    EXPECT_FALSE(reader.Running());

    try {
        reader.Start();
        ADD_FAILURE() << "Start on a lost server did not raise";
    } catch (const Exception& exception) {
        EXPECT_EQ(exception.Message(), QStringLiteral("Failed to open input device"));
    }
    EXPECT_FALSE(reader.Running());
    SetWaveMessageFunction({});
}

// A server that stops answering while we open our client: the open is given up at its
// deadline, but it returns once the server is back. That late client must not keep our name,
// or the next one is "Lagvane-01" and the operator's patches, made by name, are lost.
TEST(JackLostTest, AnOpenGivenUpOnLeavesTheNameFreeOnceTheServerIsBack) {
    TPrivateJackServer server(SampleRate);
    ASSERT_TRUE(server.Running());
    server.Use();
    TJackDeviceFactory& jack = SystemDeviceFactory().Jack();

    server.Suspend();
    QElapsedTimer clock;
    clock.start();
    const bool answered = jack.Available();
    const qint64 waited = clock.elapsed();
    server.Resume();
    ASSERT_FALSE(answered);
    ASSERT_GE(waited, DefaultDeadline.count()) << "the open failed before its deadline";

    // Until the late open has returned and closed its client, the server counts as silent.
    EXPECT_TRUE(HandleEventsUntil([&] { return jack.Available(); }, StopLimitMs));
    EXPECT_EQ(jack.ClientName(), "Lagvane");
}

} // namespace
