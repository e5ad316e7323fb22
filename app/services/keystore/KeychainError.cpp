#include "app/services/keystore/KeychainError.h"

KeychainError::KeychainError(int status)
    : ServiceError(
          QStringLiteral("The API key could not be saved securely (keyring error %1).").arg(status),
          QStringLiteral("KeychainError"), status) {}
