#include "relay/RequestFraming.h"

#include <QRegularExpression>

namespace {

// The target keeps to characters that need no decoding and that every parser reads alike.
const QRegularExpression requestLine(
    QStringLiteral(R"(^(?:GET|POST) /[A-Za-z0-9\-._~!$&'()*+,;=:@/?%]* HTTP/1\.[01]$)"));
const QRegularExpression
    headerLine(QStringLiteral(R"(^[!#$%&'*+\-.^_`|~0-9A-Za-z]+:[\t\x20-\x7e]*$)"));
// Leading zeros apart, so that the digits left tell the size.
const QRegularExpression contentLength(QStringLiteral(R"(^[\t ]*(0*)([0-9]*)[\t ]*$)"));

// Header fields that a request may hold once at most.
const QList<QByteArray> singleFields = {"content-length", "host", "x-real-ip"};

// A whole line must match; a line still arriving must be the start of one that can.
bool fits(const QRegularExpression& pattern, QByteArrayView line, bool whole) {
    const QRegularExpressionMatch match = pattern.match(
        QString::fromLatin1(line), 0,
        whole ? QRegularExpression::NormalMatch : QRegularExpression::PartialPreferCompleteMatch);
    return match.hasMatch() || match.hasPartialMatch();
}

bool namesUpgrade(QByteArrayView connectionValue) {
    for (const QByteArray& token : connectionValue.toByteArray().split(','))
        if (token.trimmed().compare("upgrade", Qt::CaseInsensitive) == 0)
            return true;
    return false;
}

} // namespace

RequestFraming::RequestFraming(qint64 maxHeadBytes, qint64 maxBodyBytes)
    : m_maxHeadBytes(maxHeadBytes), m_maxBodyBytes(maxBodyBytes) {}

std::optional<RelayResponse> RequestFraming::take(QByteArrayView bytes) {
    for (qsizetype at = 0; at < bytes.size();) {
        switch (m_stage) {
        case Stage::Refused:
            return std::nullopt;
        case Stage::Answering:
            return refuse(RelayResponse::badRequest());
        case Stage::Body: {
            const qint64 taken = std::min(m_bodyLength, qint64(bytes.size() - at));
            m_bodyLength -= taken;
            at += taken;
            if (m_bodyLength == 0)
                m_stage = Stage::Answering;
            break;
        }
        case Stage::Idle:
        case Stage::Head:
            m_stage = Stage::Head;
            if (auto refusal = takeHeadByte(bytes[at++]))
                return refusal;
            break;
        }
    }
    // The line still arriving reaches the HTTP server too.
    if (m_stage == Stage::Head && !m_line.isEmpty())
        return checkLine(m_line.endsWith('\r') ? m_line.chopped(1) : m_line, false);
    return std::nullopt;
}

void RequestFraming::answered() {
    if (m_stage == Stage::Answering)
        m_stage = Stage::Idle;
}

std::optional<RelayResponse> RequestFraming::takeHeadByte(char byte) {
    if (++m_headBytes > m_maxHeadBytes)
        return refuse(RelayResponse::headTooLarge());
    if (byte == '\n') {
        if (!m_line.endsWith('\r'))
            return refuse(RelayResponse::badRequest());
        const QByteArray line = std::exchange(m_line, {}).chopped(1);
        if (auto refusal = checkLine(line, true))
            return refusal;
        if (line.isEmpty())
            endHead();
        return std::nullopt;
    }
    if (m_line.endsWith('\r'))
        return refuse(RelayResponse::badRequest());
    m_line += byte;
    return std::nullopt;
}

std::optional<RelayResponse> RequestFraming::checkLine(QByteArrayView line, bool whole) {
    if (m_inRequestLine) {
        if (!fits(requestLine, line, whole))
            return refuse(RelayResponse::badRequest());
        m_inRequestLine = !whole;
        return std::nullopt;
    }
    return line.isEmpty() ? std::nullopt : checkHeaderLine(line, whole);
}

// Judged as soon as the name is whole, since the HTTP server acts on it as it reads.
std::optional<RelayResponse> RequestFraming::checkHeaderLine(QByteArrayView line, bool whole) {
    if (!fits(headerLine, line, whole))
        return refuse(RelayResponse::badRequest());
    const qsizetype colon = line.indexOf(':');
    if (colon < 0)
        return std::nullopt;
    const QByteArray name = line.first(colon).toByteArray().toLower();
    const QByteArrayView value = line.sliced(colon + 1);
    if (name == "transfer-encoding" || name == "upgrade" ||
        (singleFields.contains(name) && m_names.contains(name)) ||
        (whole && name == "connection" && namesUpgrade(value)))
        return refuse(RelayResponse::badRequest());
    if (name == "content-length")
        if (auto refusal = checkContentLength(value, whole))
            return refusal;
    if (whole)
        m_names.append(name);
    return std::nullopt;
}

std::optional<RelayResponse> RequestFraming::checkContentLength(QByteArrayView value, bool whole) {
    const QRegularExpressionMatch match = contentLength.match(QString::fromLatin1(value));
    const QString digits = match.captured(2);
    if (!match.hasMatch() || (whole && match.capturedLength(1) + digits.size() == 0))
        return refuse(RelayResponse::badRequest());
    // Digits only add to the value, so a start over the bound is refused at once.
    if (digits.size() > 18 || digits.toLongLong() > m_maxBodyBytes)
        return refuse(RelayResponse::tooLarge());
    if (whole)
        m_bodyLength = digits.toLongLong();
    return std::nullopt;
}

std::optional<RelayResponse> RequestFraming::refuse(RelayResponse refusal) {
    m_stage = Stage::Refused;
    return refusal;
}

void RequestFraming::endHead() {
    m_stage = m_bodyLength > 0 ? Stage::Body : Stage::Answering;
    m_headBytes = 0;
    m_inRequestLine = true;
    m_names.clear();
}
