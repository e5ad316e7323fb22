#pragma once

#include "app/translation/ServerSentEvents.h"

#include <QByteArray>
#include <QString>
#include <optional>

// The text of a streamed chat completion as it grows: each event's choices[0].delta.content
// appended, until "[DONE]" or a finish reason. The text is capped, so a server that never stops
// cannot fill memory.
class ChatStream {
public:
    enum class Failure {
        notJson, // an event that is not a chat-completion chunk
        tooLong, // more text than the cap, or an event over the parser's bound
        server,  // the server reported an error inside the stream
    };

    explicit ChatStream(qsizetype maxTextBytes);

    // Reads the next piece of the body; true when the text grew. Ignored once complete or
    // failed.
    bool feed(const QByteArray& piece);

    const QString& text() const { return m_text; }
    bool isComplete() const { return m_complete; }
    std::optional<Failure> failure() const { return m_failure; }
    // The server's own words when it reported an error.
    const QString& serverMessage() const { return m_serverMessage; }

private:
    bool takeEvent(const QByteArray& data);

    ServerSentEvents m_events;
    qsizetype m_maxTextBytes;
    qsizetype m_textBytes = 0;
    QString m_text;
    QString m_serverMessage;
    bool m_complete = false;
    std::optional<Failure> m_failure;
};
