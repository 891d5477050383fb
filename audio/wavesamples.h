#pragma once

#include <cstddef>
#include <cstdint>

// Exact, symmetric conversion between our PCM samples and a float-native device (JACK):
// 16-bit k <-> k / 32768, 8-bit u <-> (u - 128) / 128. Every PCM value survives a round trip;
// floats off the grid round to the nearest step (halves to even) and clamp to the range.
// PortAudio's own converters scale by 32767 one way and 32768 the other, which moves every
// sample one step toward zero, so we never let it convert.

void PcmToFloat(const void* pcm, float* samples, size_t count, int bytesPerSample);
void FloatToPcm(const float* samples, void* pcm, size_t count, int bytesPerSample);
// The PCM byte pattern of silence: 128 for 8-bit, 0 for 16-bit.
uint8_t PcmSilenceByte(int bytesPerSample);

// A device's side holds floats (converted as above) or the PCM samples themselves.
void PcmToDevice(const void* pcm, void* device, size_t count, int bytesPerSample, bool floatDevice);
void DeviceToPcm(const void* device, void* pcm, size_t count, int bytesPerSample, bool floatDevice);
void DeviceSilence(void* device, size_t count, int bytesPerSample, bool floatDevice);
