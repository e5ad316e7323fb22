#pragma once

#include "app/workflow/contracts/IKeychainStore.h"

#include <chrono>
#include <memory>

class SecretServiceStore;

// The ElevenLabs key, kept only in the desktop's Secret Service as one item
// (service "com.quillworks.relayo.elevenlabs", account "api-key"). A store that
// does not answer within `waitLimit` counts as unavailable.
class KeychainStore : public IKeychainStore {
public:
    explicit KeychainStore(std::chrono::milliseconds waitLimit = std::chrono::seconds(60));
    ~KeychainStore() override;

    QCoro::Task<> saveAPIKey(QString key) override;
    QCoro::Task<std::optional<QString>> loadAPIKey() override;
    QCoro::Task<> deleteAPIKey() override;

private:
    std::unique_ptr<SecretServiceStore> m_store;
};
