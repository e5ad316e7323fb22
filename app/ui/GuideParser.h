#pragma once

#include <QList>
#include <QString>
#include <optional>

// One rendered unit of the usage guide.
struct GuideBlock {
    enum class Kind { title, heading, line, gap };
    Kind kind = Kind::line;
    QString text;

    bool operator==(const GuideBlock&) const = default;
};

// Reads the usage guide: a plain-text resource with a tiny line-based markup
// (a line underlined with "=" is a title, with "-" a heading).
namespace GuideParser {

// The guide file in `folder`: "Guide.txt", else "사용법.txt", else a file whose
// name in precomposed form is "사용법.txt".
std::optional<QString> guideFile(const QString& folder);
QList<GuideBlock> parse(const QString& text);
// The guide's blocks, or a single line asking to reinstall when the file is
// missing or not UTF-8.
QList<GuideBlock> load(const QString& folder);

} // namespace GuideParser
