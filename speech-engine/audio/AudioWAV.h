#pragma once

#include <QByteArray>

#include <span>

namespace AudioWAV {
// A 16-bit mono PCM WAV image of the samples, peak-normalised to full scale.
// Throws AudioConverterError for samples that are not finite, too many for one file, or an
// unusable sample rate.
QByteArray data(std::span<const float> samples, double sampleRate);
} // namespace AudioWAV
