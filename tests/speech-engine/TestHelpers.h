#pragma once

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QString>

#include <exception>

// Writes `content` to `path`, making its folders; returns the path.
inline QString writeTestFile(const QString& path, const QByteArray& content) {
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        file.write(content);
    return path;
}

// The content of `path`, or nothing when it cannot be read.
inline QByteArray readTestFile(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// The description of what `operation` threw, or an empty text when it succeeded.
template <typename Operation> QString failureOf(Operation&& operation) {
    try {
        operation();
    } catch (const std::exception& error) {
        return QString::fromUtf8(error.what());
    }
    return {};
}
