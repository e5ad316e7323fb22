#include "app/translation/ServerSentEvents.h"

#include <utility>

QList<QByteArray> ServerSentEvents::feed(const QByteArray& piece) {
    QList<QByteArray> events;
    for (const char c : piece) {
        if (m_overflowed)
            break;
        // CRLF is one line end, even when the network splits it.
        const bool lineFeedAfterReturn = c == '\n' && m_afterCarriageReturn;
        m_afterCarriageReturn = c == '\r';
        if (lineFeedAfterReturn)
            continue;
        if (c == '\r' || c == '\n') {
            takeLine(events);
            continue;
        }
        m_line += c;
        m_overflowed = m_line.size() > maxEventBytes;
    }
    return events;
}

void ServerSentEvents::takeLine(QList<QByteArray>& events) {
    const QByteArray line = std::exchange(m_line, {});
    if (line.isEmpty()) {
        if (m_hasData)
            events.append(std::exchange(m_data, {}));
        m_hasData = false;
        return;
    }
    const qsizetype colon = line.indexOf(':');
    const QByteArray field = colon < 0 ? line : line.left(colon);
    if (field != "data")
        return;
    QByteArray value = colon < 0 ? QByteArray() : line.mid(colon + 1);
    if (value.startsWith(' '))
        value.remove(0, 1);
    if (m_hasData)
        m_data += '\n';
    m_data += value;
    m_hasData = true;
    m_overflowed = m_data.size() > maxEventBytes;
}
