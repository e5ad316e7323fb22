#pragma once

#include <QByteArray>
#include <QString>
#include <optional>

// Variables of a ".env" style file ("NAME=value" lines), as a developer keeps
// their keys next to the program.
class EnvFile {
public:
    // Only this much of a file is read: a key file is a few lines, and a file that
    // never ends (a device, a pipe) must not hold or exhaust the program.
    static constexpr qint64 maxBytes = 64 * 1024;

    // The value of the first line naming `name` in `text`, with surrounding blanks
    // and quotes removed; nothing when no line names it.
    static std::optional<QString> valueIn(const QByteArray& text, const QString& name);
    // The same for the first `maxBytes` of the file at `path`; nothing when it
    // cannot be read.
    static std::optional<QString> valueInFile(const QString& path, const QString& name);
};
