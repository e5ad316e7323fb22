#pragma once

#include <QByteArray>
#include <QList>

// Reads a server-sent event stream piece by piece, however the network cuts it: lines end in
// CR, LF or CRLF, ":" lines are comments, a blank line ends an event. Only the data of each
// event is kept (its "data" lines joined by LF); names, ids and retry times are not used here.
class ServerSentEvents {
public:
    // Longer lines and events are refused: a stream that never ends one must not fill memory.
    static constexpr qsizetype maxEventBytes = 64 * 1024;

    // The data of every event completed by `piece`. After an over-long line or event nothing
    // more is read.
    QList<QByteArray> feed(const QByteArray& piece);
    bool overflowed() const { return m_overflowed; }

private:
    void takeLine(QList<QByteArray>& events);

    QByteArray m_line;
    QByteArray m_data;
    bool m_hasData = false;
    bool m_afterCarriageReturn = false;
    bool m_overflowed = false;
};
