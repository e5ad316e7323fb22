#include "app/services/network/NebiusAnswer.h"

#include "app/services/network/HttpTransport.h"
#include "app/services/network/NebiusError.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QStringDecoder>
#include <QTextBoundaryFinder>

namespace {

constexpr int maxErrorCharacters = 400;

// At most `count` user-perceived characters, never cutting one apart.
QString firstCharacters(const QString& text, int count) {
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text);
    for (int taken = 0; taken < count; ++taken) {
        if (finder.toNextBoundary() < 0)
            return text;
    }
    return text.left(finder.position());
}

} // namespace

QString NebiusAnswer::tokenFactoryFailure(const QByteArray& body, const QString& key) {
    QStringDecoder decoder(QStringDecoder::Utf8);
    const QString text = decoder.decode(body);
    if (decoder.hasError() || text.isEmpty())
        return QStringLiteral("Token Factory request failed.");
    return firstCharacters(withoutSecret(text, key), maxErrorCharacters);
}

QString NebiusAnswer::relayContent(bool success, const QByteArray& body) {
    const QJsonObject object = QJsonDocument::fromJson(body).object();
    if (success) {
        const QJsonValue content = object.value(QStringLiteral("content"));
        if (!content.isString())
            throw NebiusError::invalidResponse();
        return content.toString();
    }
    const QString message = object.value(QStringLiteral("message")).toString();
    throw NebiusError::server(
        message.isEmpty()
            ? QStringLiteral("번역 서버가 응답하지 않습니다. 잠시 뒤 다시 시도해 주세요.")
            : message);
}
