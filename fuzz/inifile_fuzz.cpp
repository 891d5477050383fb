#include "audio/devices/virtualwavedevice.h"
#include "audio/wavemessage.h"
#include "controls/degspin.h"
#include "fuzz/widgetfuzz.h"
#include "station/defaults.h"
#include "support/handlers.h"
#include "window/mainwindow.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFile>
#include <QTemporaryDir>
#include <QToolButton>
#include <cstdint>
#include <cstdlib>

namespace {

// Little memory keeps the longest delay's buffers small, so a run that Play On Start begins
// costs little.
constexpr uint64_t AvailableMemory = uint64_t(64) << 20;

// One window for all inputs, on the virtual sound card, with its settings in a folder of its
// own and every message swallowed.
struct TFixture {
    TFixture() {
        qputenv("XDG_CONFIG_HOME", Config.path().toUtf8());
        SetWaveDeviceFactory(&Device);
        SetWaveMessageFunction([](const QString&) {});
        SetExceptionMessageFunction([](const QString& text) { Shown = text; });
        Window = new TMainWindow([] { return AvailableMemory; });
    }

    QTemporaryDir Config;
    TVirtualWaveDevice Device;
    TMainWindow* Window;
    static inline QString Shown;
};

TFixture& Fixture() {
    static auto* fixture = new TFixture;
    return *fixture;
}

void Check(bool holds) {
    if (!holds)
        abort();
}

} // namespace

// Whatever the settings file holds, loading it as the window does at start-up keeps the delay
// within its limits and the four buffers within the memory budget, selects a format, starts a
// run exactly when asked to, without a message, and the run stops cleanly.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    TFixture& fixture = Fixture();
    TMainWindow& window = *fixture.Window;
    // Every input starts from the window as built.
    window.View().PlayOnStartChk->setChecked(false);
    window.View().FormatCombo->setCurrentIndex(0);
    window.View().DelayTimeSpin->SetDegrees(window.View().DelayTimeSpin->MinValue());
    {
        QFile file(DefaultsFileName());
        Check(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        Check(file.write(reinterpret_cast<const char*>(data), qint64(size)) == qint64(size));
    }
    TFixture::Shown.clear();
    LoadDefaults(window.Station());

    // The spinner holds whole 1/100000 s, so its shortest delay may sit a hair below its limit.
    const double hours = window.View().DelayTimeSpin->Degrees();
    Check(hours >= window.View().DelayTimeSpin->MinValue() * (1 - 1e-9) &&
          hours <= window.View().DelayTimeSpin->MaxValue());
    Check(window.View().FormatCombo->currentIndex() >= 0 &&
          window.View().FormatCombo->currentIndex() < window.View().FormatCombo->count());
    Check(window.Station().BufferFrames() > 0);
    Check(4 * uint64_t(window.Station().BufferBytes()) <= window.Station().MemoryBudget);
    Check(window.View().PlayBtn->isChecked() == window.View().PlayOnStartChk->isChecked());
    Check(fixture.Device.InputStarted() == window.View().PlayBtn->isChecked());
    Check(TFixture::Shown.isEmpty());
    if (window.View().PlayBtn->isChecked()) {
        window.View().PlayBtn->click();
        Check(!fixture.Device.InputOpen() && !fixture.Device.OutputOpen());
    }
    return 0;
}
