#include "remote/triggers.h"

#include <cstdint>
#include <cstdlib>

namespace {

// Takes every press and counts it.
struct TCountingTarget final : TConsole {
    TRunReport Report() const override { return {}; }
    TPressResult Dump() override { return Press(); }
    TPressResult Play() override { return Press(); }
    TPressResult Stop() override { return Press(); }
    TPressResult Exit() override { return Press(); }
    TPressResult Build() override { return Press(); }
    TPressResult CoughStart() override { return Press(); }
    TPressResult CoughStop() override { return Press(); }
    TPressResult Press() {
        ++Presses;
        return {};
    }
    uint64_t Presses = 0;
};

} // namespace

// Whatever a datagram holds, reading it presses one button at most and reads nothing outside it.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static TCountingTarget target;
    static TOscTrigger trigger(target, {});
    const uint64_t before = target.Presses;
    trigger.Take(QByteArray(reinterpret_cast<const char*>(data), qsizetype(size)));
    if (target.Presses - before > 1)
        abort();
    return 0;
}
