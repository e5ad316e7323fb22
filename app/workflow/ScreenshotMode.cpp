#include "app/workflow/ScreenshotMode.h"

#include <QByteArray>
#include <algorithm>
#include <charconv>

namespace ScreenshotMode {

std::optional<qint64> step() {
    const QByteArray value = qgetenv("RLY_SHOT");
    const char* begin = value.constData();
    const char* end = begin + value.size();
    const bool isNegative = begin != end && *begin == '-';
    const char* digits = begin != end && (*begin == '+' || isNegative) ? begin + 1 : begin;
    if (digits == end || !std::all_of(digits, end, [](char c) { return c >= '0' && c <= '9'; }))
        return std::nullopt;
    // from_chars takes the minus sign itself, so the most negative value parses too.
    qint64 result = 0;
    const auto [last, error] = std::from_chars(isNegative ? begin : digits, end, result);
    if (error != std::errc() || last != end)
        return std::nullopt;
    return result;
}

QString englishQuestion() {
    return QStringLiteral("Could you share the updated schedule with the team by Thursday?");
}

QString koreanReply() {
    return QStringLiteral("네, 목요일 오전까지 수정한 일정을 정리해서 팀에 공유하겠습니다.");
}

} // namespace ScreenshotMode
