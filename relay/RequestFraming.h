#pragma once

#include "relay/RelayResponse.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <optional>

// The framing of the requests on one connection, checked as the bytes arrive and before the HTTP
// server reads them, strictly enough that it never meets a byte it would fail to parse or read
// otherwise: lines end in CRLF, no folded or malformed header lines, GET or POST in origin form,
// HTTP/1.0 or 1.1, a body only by one plain decimal Content-Length within the bound, no
// Transfer-Encoding (the relay's clients never need one), no upgrade, at most one Host and
// X-Real-IP. One request at a time: the next may start once the previous one is answered, so
// answers can never leave out of order.
class RequestFraming {
public:
    enum class Stage { Idle, Head, Body, Answering, Refused };

    RequestFraming(qint64 maxHeadBytes, qint64 maxBodyBytes);

    // Takes the bytes that arrived; the refusal to send once they break the rules (400, 413, or
    // 431 for a head over its bound), after which everything is refused.
    std::optional<RelayResponse> take(QByteArrayView bytes);
    // The request taken whole has its answer; the next one may start.
    void answered();
    Stage stage() const { return m_stage; }

private:
    std::optional<RelayResponse> takeHeadByte(char byte);
    std::optional<RelayResponse> checkLine(QByteArrayView line, bool whole);
    std::optional<RelayResponse> checkHeaderLine(QByteArrayView line, bool whole);
    std::optional<RelayResponse> checkContentLength(QByteArrayView value, bool whole);
    std::optional<RelayResponse> refuse(RelayResponse refusal);
    void endHead();

    qint64 m_maxHeadBytes;
    qint64 m_maxBodyBytes;
    Stage m_stage = Stage::Idle;
    QByteArray m_line;
    qint64 m_headBytes = 0;
    bool m_inRequestLine = true;
    QList<QByteArray> m_names;
    qint64 m_bodyLength = 0;
};
