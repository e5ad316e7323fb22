#include "app/services/network/NebiusError.h"

NebiusError::NebiusError(Kind kind, const QString& description)
    : ServiceError(description, QStringLiteral("NebiusError"), static_cast<int>(kind)),
      m_kind(kind) {}

NebiusError NebiusError::server(const QString& message) {
    return {Kind::server, message};
}

NebiusError NebiusError::missingKey() {
    return {Kind::missingKey,
            QStringLiteral("번역 서버에 연결하지 못했습니다. 인터넷 연결을 확인해 주세요.")};
}

NebiusError NebiusError::invalidResponse() {
    return {Kind::invalidResponse, QStringLiteral("The model returned an invalid response.")};
}

NebiusError NebiusError::invalidResponseWith(const QString& description) {
    return {Kind::invalidResponse, description};
}

NebiusError NebiusError::noService() {
    return {Kind::noService, QStringLiteral("번역 서비스가 정해지지 않았습니다. 설정의 ‘번역’에서 "
                                            "서비스를 골라 주세요.")};
}

NebiusError NebiusError::keyRefused() {
    return server(
        QStringLiteral("번역 서버가 API 키를 거절했습니다. 설정의 ‘번역’에서 키를 확인해 주세요."));
}

NebiusError NebiusError::unknownModel(const QString& model) {
    return server(QStringLiteral("번역 서버에 ‘%1’ 모델이 없습니다. 설정의 ‘번역’에서 모델 "
                                 "이름을 확인해 주세요.")
                      .arg(model));
}

NebiusError NebiusError::redirected() {
    return server(QStringLiteral("번역 서버가 다른 주소로 보내려 해서 따르지 않았습니다. 서버 "
                                 "주소를 확인해 주세요."));
}

NebiusError NebiusError::notJson() {
    return invalidResponseWith(
        QStringLiteral("번역 서버의 답을 읽을 수 없습니다. 채팅 완성(chat completions) API가 "
                       "맞는지 확인해 주세요."));
}

NebiusError NebiusError::cutShort() {
    return invalidResponseWith(
        QStringLiteral("번역 서버의 답이 중간에 끊겼습니다. 다시 시도해 주세요."));
}

NebiusError NebiusError::tooLong() {
    return invalidResponseWith(
        QStringLiteral("번역 서버의 답이 너무 길어 중단했습니다. 다시 시도해 주세요."));
}

NebiusError NebiusError::timedOut(int seconds) {
    return server(
        QStringLiteral("번역 서버가 %1초 안에 답을 마치지 않아 중단했습니다.").arg(seconds));
}

NebiusError NebiusError::badAddress(const QString& url) {
    return server(QStringLiteral("번역 서버 주소가 올바르지 않습니다: %1").arg(url));
}
