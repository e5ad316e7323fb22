#pragma once

#include <QString>

// Desktop actions the window offers in place of the macOS ones.
namespace DesktopActions {

// Starts the first sound settings tool present (GNOME, pavucontrol, KDE);
// false when there is none.
bool openSoundSettings();
// Replaces the clipboard's contents with `text`.
void copyToClipboard(const QString& text);

} // namespace DesktopActions
