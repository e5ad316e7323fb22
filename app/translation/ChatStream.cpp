#include "app/translation/ChatStream.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

ChatStream::ChatStream(qsizetype maxTextBytes) : m_maxTextBytes(maxTextBytes) {}

bool ChatStream::feed(const QByteArray& piece) {
    if (m_complete || m_failure)
        return false;
    bool grew = false;
    for (const QByteArray& data : m_events.feed(piece)) {
        grew = takeEvent(data) || grew;
        if (m_complete || m_failure)
            return grew;
    }
    if (m_events.overflowed())
        m_failure = Failure::tooLong;
    return grew;
}

bool ChatStream::takeEvent(const QByteArray& data) {
    if (data.trimmed() == "[DONE]") {
        m_complete = true;
        return false;
    }
    QJsonParseError parseError;
    const QJsonObject chunk = QJsonDocument::fromJson(data, &parseError).object();
    if (parseError.error != QJsonParseError::NoError || chunk.isEmpty()) {
        m_failure = Failure::notJson;
        return false;
    }
    if (const QJsonValue error = chunk.value(QStringLiteral("error")); !error.isUndefined()) {
        m_serverMessage = error.isObject()
                              ? error.toObject().value(QStringLiteral("message")).toString()
                              : error.toString();
        m_failure = Failure::server;
        return false;
    }
    const QJsonObject choice = chunk.value(QStringLiteral("choices")).toArray().at(0).toObject();
    const QString delta = choice.value(QStringLiteral("delta"))
                              .toObject()
                              .value(QStringLiteral("content"))
                              .toString();
    m_complete = choice.value(QStringLiteral("finish_reason")).isString();
    m_textBytes += delta.toUtf8().size();
    if (m_textBytes > m_maxTextBytes) {
        m_failure = Failure::tooLong;
        return false;
    }
    m_text += delta;
    return !delta.isEmpty();
}
