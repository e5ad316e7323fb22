#include "app/core/ServiceError.h"

ServiceError::ServiceError(const QString& description, QString domain, int code)
    : std::runtime_error(description.toStdString()), m_description(description),
      m_domain(std::move(domain)), m_code(code) {}

QString describe(const std::exception& error) {
    return QString::fromUtf8(error.what());
}
