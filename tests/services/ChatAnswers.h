#pragma once

#include <QByteArray>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QList>
#include <QString>
#include <QStringList>

// What a chat-completions server answers, whole or as server-sent events.
namespace ChatAnswers {

inline QJsonObject whole(const QString& content) {
    return {{"choices", QJsonArray{QJsonObject{{"message", QJsonObject{{"content", content}}}}}}};
}

// One event carrying `piece` of the text.
inline QByteArray delta(const QString& piece) {
    const QJsonObject chunk{
        {"choices", QJsonArray{QJsonObject{{"delta", QJsonObject{{"content", piece}}}}}}};
    return "data: " + QJsonDocument(chunk).toJson(QJsonDocument::Compact) + "\n\n";
}

inline const QByteArray done = QByteArrayLiteral("data: [DONE]\n\n");

// The events of a complete answer: a role-only chunk, one event a piece, then "[DONE]".
inline QList<QByteArray> streamed(const QStringList& pieces) {
    QList<QByteArray> events{R"(data: {"choices":[{"delta":{"role":"assistant"}}]})" +
                             QByteArray("\n\n")};
    for (const QString& piece : pieces)
        events << delta(piece);
    return events << done;
}

} // namespace ChatAnswers
