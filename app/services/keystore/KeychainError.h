#pragma once

#include "app/core/ServiceError.h"

// A key that could not be saved, with the key store's status code.
class KeychainError : public ServiceError {
public:
    explicit KeychainError(int status);

    int status() const { return code(); }
};
