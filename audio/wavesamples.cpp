#include "audio/wavesamples.h"

#include <cmath>
#include <cstring>

namespace {

constexpr float Scale16 = 32768.0f;
constexpr float Scale8 = 128.0f;
constexpr int Offset8 = 128;

// Rounds to the nearest step, halves to even; NaN counts as silence.
long ToStep(float sample, float scale, long lowest, long highest) {
    if (std::isnan(sample))
        return 0;
    const float scaled = sample * scale;
    if (scaled <= static_cast<float>(lowest))
        return lowest;
    if (scaled >= static_cast<float>(highest))
        return highest;
    return std::lrint(scaled);
}

} // namespace

void PcmToFloat(const void* pcm, float* samples, size_t count, int bytesPerSample) {
    const auto* bytes = static_cast<const uint8_t*>(pcm);
    if (bytesPerSample == 1) {
        for (size_t i = 0; i < count; ++i)
            samples[i] = static_cast<float>(bytes[i] - Offset8) / Scale8;
        return;
    }
    for (size_t i = 0; i < count; ++i) {
        int16_t value;
        std::memcpy(&value, bytes + 2 * i, sizeof value);
        samples[i] = static_cast<float>(value) / Scale16;
    }
}

void FloatToPcm(const float* samples, void* pcm, size_t count, int bytesPerSample) {
    auto* bytes = static_cast<uint8_t*>(pcm);
    if (bytesPerSample == 1) {
        for (size_t i = 0; i < count; ++i)
            bytes[i] =
                static_cast<uint8_t>(ToStep(samples[i], Scale8, -Offset8, Offset8 - 1) + Offset8);
        return;
    }
    for (size_t i = 0; i < count; ++i) {
        const auto value = static_cast<int16_t>(ToStep(samples[i], Scale16, INT16_MIN, INT16_MAX));
        std::memcpy(bytes + 2 * i, &value, sizeof value);
    }
}

uint8_t PcmSilenceByte(int bytesPerSample) {
    return bytesPerSample == 1 ? Offset8 : 0;
}

void PcmToDevice(const void* pcm, void* device, size_t count, int bytesPerSample,
                 bool floatDevice) {
    if (floatDevice)
        PcmToFloat(pcm, static_cast<float*>(device), count, bytesPerSample);
    else
        std::memcpy(device, pcm, count * size_t(bytesPerSample));
}

void DeviceToPcm(const void* device, void* pcm, size_t count, int bytesPerSample,
                 bool floatDevice) {
    if (floatDevice)
        FloatToPcm(static_cast<const float*>(device), pcm, count, bytesPerSample);
    else
        std::memcpy(pcm, device, count * size_t(bytesPerSample));
}

void DeviceSilence(void* device, size_t count, int bytesPerSample, bool floatDevice) {
    if (floatDevice)
        std::memset(device, 0, count * sizeof(float));
    else
        std::memset(device, PcmSilenceByte(bytesPerSample), count * size_t(bytesPerSample));
}
