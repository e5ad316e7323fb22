#pragma once

#include <QByteArray>
#include <QFile>
#include <QString>
#include <QTemporaryDir>
#include <cstddef>
#include <cstdint>

// The fuzzer's bytes, for the parsers that take them whole or from a file.
namespace FuzzInput {

inline QByteArray bytes(const std::uint8_t* data, std::size_t size) {
    return QByteArray(reinterpret_cast<const char*>(data), qsizetype(size));
}

// Writes `contents` to the file `name` in a folder kept for the whole run; returns its path.
inline QString file(const QString& name, const QByteArray& contents) {
    static const QTemporaryDir folder;
    const QString path = folder.filePath(name);
    QFile output(path);
    if (!output.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
        output.write(contents) != contents.size())
        qFatal("cannot write the fuzz input to %s", qPrintable(path));
    return path;
}

} // namespace FuzzInput
