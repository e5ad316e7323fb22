#include "app/translation/EnvFile.h"

#include <QFile>
#include <QStringList>

namespace {

// "=" at the start is skipped; the name runs to the next "=", the value is
// everything after it. A line without both parts gives nothing.
std::optional<std::pair<QString, QString>> nameAndValue(const QString& line) {
    qsizetype start = 0;
    while (start < line.size() && line[start] == u'=')
        ++start;
    const qsizetype separator = line.indexOf(u'=', start);
    if (separator < 0 || separator + 1 == line.size())
        return std::nullopt;
    return std::pair{line.mid(start, separator - start), line.mid(separator + 1)};
}

QString trimmedOf(QString text, QStringView characters) {
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && characters.contains(text[begin]))
        ++begin;
    while (end > begin && characters.contains(text[end - 1]))
        --end;
    return text.mid(begin, end - begin);
}

} // namespace

// The first matching line wins, even when its value is empty.
std::optional<QString> EnvFile::valueIn(const QByteArray& text, const QString& name) {
    const QStringList lines = QString::fromUtf8(text).split(u'\n', Qt::SkipEmptyParts);
    for (const QString& line : lines) {
        const auto parts = nameAndValue(line);
        if (parts && trimmedOf(parts->first, u" \t") == name)
            return trimmedOf(parts->second.trimmed(), u"\"'");
    }
    return std::nullopt;
}

std::optional<QString> EnvFile::valueInFile(const QString& path, const QString& name) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    return valueIn(file.read(maxBytes), name);
}
