#include "app/ui/GuideParser.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QStringDecoder>

namespace {

const QString koreanName = QStringLiteral("사용법.txt");

bool isSpaceOrTab(QChar c) {
    return c == u' ' || c == u'\t';
}

QString trimSpacesAndTabs(const QString& text) {
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && isSpaceOrTab(text[begin]))
        ++begin;
    while (end > begin && isSpaceOrTab(text[end - 1]))
        --end;
    return text.mid(begin, end - begin);
}

bool consistsOnly(const QString& text, QChar c) {
    return !text.isEmpty() &&
           std::all_of(text.begin(), text.end(), [c](QChar x) { return x == c; });
}

std::optional<QString> readUtf8(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    QStringDecoder decoder(QStringDecoder::Utf8);
    QString text = decoder.decode(file.readAll());
    if (decoder.hasError())
        return std::nullopt;
    return text;
}

} // namespace

std::optional<QString> GuideParser::guideFile(const QString& folder) {
    const QDir dir(folder);
    for (const QString& name : {QStringLiteral("Guide.txt"), koreanName}) {
        if (dir.exists(name))
            return dir.filePath(name);
    }
    for (const QString& name : dir.entryList(QDir::Files)) {
        if (name.normalized(QString::NormalizationForm_C) == koreanName)
            return dir.filePath(name);
    }
    return std::nullopt;
}

QList<GuideBlock> GuideParser::parse(const QString& text) {
    using Kind = GuideBlock::Kind;
    // Every newline counts, and a CRLF pair is one, as a text editor sees them.
    static const QRegularExpression newline(
        QStringLiteral("\r\n|[\n\r\v\f\\x{85}\\x{2028}\\x{2029}]"));
    const QStringList lines = text.split(newline);
    QList<GuideBlock> blocks;
    for (qsizetype i = 0; i < lines.size();) {
        const QString& line = lines[i];
        const QString follower = i + 1 < lines.size() ? trimSpacesAndTabs(lines[i + 1]) : QString();
        if (consistsOnly(follower, u'=')) {
            blocks.append({Kind::title, line});
            i += 2;
        } else if (consistsOnly(follower, u'-')) {
            blocks.append({Kind::heading, line});
            i += 2;
        } else {
            if (trimSpacesAndTabs(line).isEmpty()) {
                if (blocks.isEmpty() || blocks.last().kind != Kind::gap)
                    blocks.append({Kind::gap, {}});
            } else if (!line.startsWith(QStringLiteral("Created by"))) {
                blocks.append({Kind::line, line});
            }
            ++i;
        }
    }
    return blocks;
}

QList<GuideBlock> GuideParser::load(const QString& folder) {
    const std::optional<QString> path = guideFile(folder);
    const std::optional<QString> text = path ? readUtf8(*path) : std::nullopt;
    if (!text)
        return {{GuideBlock::Kind::line,
                 QStringLiteral("사용법 파일을 찾지 못했어요. 앱을 다시 설치해 주세요.")}};
    return parse(*text);
}
