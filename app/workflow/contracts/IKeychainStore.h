#pragma once

#include <QString>
#include <optional>
#include <qcoro/qcorotask.h>

// Where the ElevenLabs key is kept. The operations suspend because the desktop's
// key store may prompt or stall; the window never waits on them.
class IKeychainStore {
public:
    virtual ~IKeychainStore() = default;

    // A later load returns the same string. May throw an error with a description.
    virtual QCoro::Task<> saveAPIKey(QString key) = 0;
    // Absent when no key is stored or it cannot be read. Never throws.
    virtual QCoro::Task<std::optional<QString>> loadAPIKey() = 0;
    // A later load returns absent. Never throws.
    virtual QCoro::Task<> deleteAPIKey() = 0;
};
