#include "tests/audio/audiotestapp.h"

#include "audio/wavemessage.h"
#include "support/errors.h"

#include <QApplication>
#include <gtest/gtest.h>

QStringList& CaughtExceptions() {
    static QStringList messages;
    return messages;
}

QStringList& ShownMessages() {
    static QStringList messages;
    return messages;
}

namespace {

class TAudioTestApplication : public QApplication {
public:
    using QApplication::QApplication;

    // An exception must never unwind through the event dispatcher: catch it here, as the
    // program's top-level handler does, and go on.
    bool notify(QObject* receiver, QEvent* event) override {
        try {
            return QApplication::notify(receiver, event);
        } catch (const Exception& exception) {
            CaughtExceptions().append(exception.Message());
            return false;
        }
    }
};

} // namespace

// Replaces the shared test main: this library comes first on the link line.
int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    TAudioTestApplication app(argc, argv);
    SetWaveMessageFunction([](const QString& text) { ShownMessages().append(text); });
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

TWaveFormat RecordOf(TWaveTypes waveType) {
    TWaveDataFormat triple{};
    WaveTypeToFormat(waveType, triple);
    TWaveFormat record{};
    TWaveReader::MakeWaveFormat(record, triple);
    return record;
}

std::vector<uint8_t> NoisePcm(size_t bytes, uint32_t seed) {
    std::vector<uint8_t> pcm(bytes);
    uint32_t state = seed;
    for (uint8_t& byte : pcm) {
        state = state * 1664525u + 1013904223u;
        byte = static_cast<uint8_t>(state >> 24);
    }
    return pcm;
}
