#pragma once

#include <QString>
#include <array>
#include <optional>

// Which kind of voice speaks the English answer; the raw value is also its label.
enum class VoiceSource { local, elevenLabs };

namespace VoiceSources {
inline constexpr std::array all = {VoiceSource::local, VoiceSource::elevenLabs};

QString rawValue(VoiceSource source);
// Only the two exact raw values make a source.
std::optional<VoiceSource> fromRawValue(const QString& raw);
} // namespace VoiceSources
