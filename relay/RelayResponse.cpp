#include "relay/RelayResponse.h"

#include <QJsonDocument>

namespace {

RelayResponse message(int status, const QString& text) {
    return {status, {{QStringLiteral("message"), text}}};
}

} // namespace

RelayResponse RelayResponse::translation(const QString& content) {
    return {200, {{QStringLiteral("content"), content}}};
}

RelayResponse RelayResponse::healthy(int upstreamCalls) {
    return {200,
            {{QStringLiteral("status"), QStringLiteral("ok")},
             {QStringLiteral("upstreamCalls"), upstreamCalls}}};
}

RelayResponse RelayResponse::badRequest() {
    return message(400, QStringLiteral("번역 요청을 이해하지 못했습니다. Relayo를 최신 버전으로 "
                                       "업데이트해 주세요."));
}

RelayResponse RelayResponse::notFound() {
    return message(404, QStringLiteral("번역 서버에 없는 주소입니다. 번역 서버 주소를 확인해 "
                                       "주세요."));
}

RelayResponse RelayResponse::tooLarge() {
    return message(413, QStringLiteral("번역할 글이 너무 깁니다. 나누어 다시 시도해 주세요."));
}

RelayResponse RelayResponse::headTooLarge() {
    return message(431, QStringLiteral("번역 요청의 머리글이 너무 깁니다. Relayo를 최신 버전으로 "
                                       "업데이트해 주세요."));
}

RelayResponse RelayResponse::tooManyRequests() {
    return message(429, QStringLiteral("번역 요청이 너무 잦습니다. 잠시 뒤 다시 시도해 주세요."));
}

RelayResponse RelayResponse::busy() {
    return message(503, QStringLiteral("번역 서버가 지금 바쁩니다. 잠시 뒤 다시 시도해 주세요."));
}

RelayResponse RelayResponse::shuttingDown() {
    return message(503, QStringLiteral("번역 서버가 다시 시작하는 중입니다. 잠시 뒤 다시 시도해 "
                                       "주세요."));
}

RelayResponse RelayResponse::upstreamUnreachable() {
    return message(502, QStringLiteral("번역 서비스에 연결하지 못했습니다. 잠시 뒤 다시 시도해 "
                                       "주세요."));
}

RelayResponse RelayResponse::upstreamTimedOut() {
    return message(504, QStringLiteral("번역 서비스의 응답이 늦어 번역하지 못했습니다. 잠시 뒤 "
                                       "다시 시도해 주세요."));
}

RelayResponse RelayResponse::upstreamInvalid() {
    return message(502, QStringLiteral("번역 서비스가 올바른 답을 주지 않았습니다. 잠시 뒤 다시 "
                                       "시도해 주세요."));
}

RelayResponse RelayResponse::upstreamRefused(int status) {
    if (status == 401 || status == 403)
        return message(502, QStringLiteral("번역 서버의 설정에 문제가 있습니다. 번역 서버 "
                                           "관리자에게 알려 주세요."));
    if (status == 429)
        return message(503, QStringLiteral("번역 서비스 사용량이 많습니다. 잠시 뒤 다시 시도해 "
                                           "주세요."));
    return upstreamInvalid();
}

QByteArray RelayResponse::json() const {
    return QJsonDocument(body).toJson(QJsonDocument::Compact);
}

QByteArray RelayResponse::closingMessage() const {
    const QByteArray content = json();
    return "HTTP/1.1 " + QByteArray::number(status) +
           " \r\nContent-Type: application/json\r\nContent-Length: " +
           QByteArray::number(content.size()) + "\r\nConnection: close\r\n\r\n" + content;
}
