#pragma once

#include <QString>
#include <optional>

// A scripted example exchange that fills the window for a screen capture,
// chosen by the environment variable RLY_SHOT.
namespace ScreenshotMode {

// The step in RLY_SHOT, read on every call: an optional sign, then ASCII digits
// only, within the 64-bit range. Absent or anything else means normal operation.
std::optional<qint64> step();

QString englishQuestion();
QString koreanReply();

} // namespace ScreenshotMode
