#include "app/translation/TokenFactoryKey.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QStringList>
#include <utility>

namespace TokenFactoryKey {

namespace {

const QString keyName = QStringLiteral("NEBIUS_TOKEN_FACTORY_KEY");

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

// The first matching line wins, even when its value is empty.
std::optional<QString> keyFromFile(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    const QStringList lines = QString::fromUtf8(file.readAll()).split(u'\n', Qt::SkipEmptyParts);
    for (const QString& line : lines) {
        const auto parts = nameAndValue(line);
        if (parts && trimmedOf(parts->first, u" \t") == keyName)
            return trimmedOf(parts->second.trimmed(), u"\"'");
    }
    return std::nullopt;
}

} // namespace

std::optional<QString> load() {
    const QString fromEnvironment = qEnvironmentVariable("NEBIUS_TOKEN_FACTORY_KEY");
    if (!fromEnvironment.isEmpty())
        return fromEnvironment;
    const QString executableFolder = QCoreApplication::applicationDirPath();
    for (const QString& folder :
         {QDir::currentPath(), executableFolder, QDir::cleanPath(executableFolder + "/..")}) {
        if (auto key = keyFromFile(QDir(folder).filePath(QStringLiteral(".env.local"))))
            return key;
    }
    return std::nullopt;
}

} // namespace TokenFactoryKey
