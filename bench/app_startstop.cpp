// Play then Stop with a one-hour delay at 44.1 kHz stereo 16-bit: four buffers of 635 MB are
// allocated, queued and released on the virtual device. The pair should take under a second.

#include "app/application.h"
#include "audio/devices/virtualwavedevice.h"
#include "audio/wavemessage.h"
#include "controls/degspin.h"
#include "window/mainwindow.h"

#include <QApplication>
#include <QComboBox>
#include <QTemporaryDir>
#include <QToolButton>
#include <benchmark/benchmark.h>
#include <cstdio>

namespace {

void BM_StartStopOneHourStereo16(benchmark::State& state) {
    QTemporaryDir config;
    qputenv("XDG_CONFIG_HOME", config.path().toUtf8());
    TVirtualWaveDevice device;
    SetWaveDeviceFactory(&device);
    QString error;
    SetExceptionMessageFunction([&error](const QString& text) { error = text; });
    {
        // Enough memory that one hour fits: four buffers need about 2.5 GB.
        TMainWindow window([] { return uint64_t(16) << 30; });
        const int stereo16 =
            window.View().FormatCombo->findText(QStringLiteral("44.1 kHz, Stereo, 16-bit"));
        window.View().FormatCombo->setCurrentIndex(stereo16);
        window.View().DelayTimeSpin->SetDegrees(1.0);
        if (window.Station().BufferBytes() != 635040000)
            state.SkipWithError("the delay is not one hour of 44.1 kHz stereo 16-bit");
        for (auto _ : state) {
            window.View().PlayBtn->click();
            if (!device.InputStarted())
                state.SkipWithError("the run did not start");
            window.View().PlayBtn->click();
        }
        if (!error.isEmpty())
            state.SkipWithError(error.toStdString().c_str());
    }
    SetExceptionMessageFunction(nullptr);
    SetWaveDeviceFactory(nullptr);
}

} // namespace

BENCHMARK(BM_StartStopOneHourStereo16)->Unit(benchmark::kMillisecond);

// The window needs an application object, so this benchmark brings its own main.
int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    SetWaveMessageFunction(
        [](const QString& text) { std::fprintf(stderr, "%s\n", qPrintable(text)); });
    TApplication application(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
