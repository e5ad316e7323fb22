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
