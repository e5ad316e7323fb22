#pragma once

#include "app/platform/SecretServiceStore.h"
#include "app/workflow/contracts/ITranslationSettingsStore.h"

#include <QSettings>
#include <chrono>
#include <memory>

// The translation service chosen in the settings: the Token Factory key and the
// OpenAI-compatible server's key as two items of the desktop's Secret Service (service
// "com.quillworks.relayo.tokenfactory" and "com.quillworks.relayo.translation-server",
// account "api-key"), beside the ElevenLabs key; the rest in `settings`.
class TranslationSettingsStore : public ITranslationSettingsStore {
public:
    explicit TranslationSettingsStore(
        std::unique_ptr<QSettings> settings,
        std::chrono::milliseconds waitLimit = std::chrono::seconds(60));
    ~TranslationSettingsStore() override;

    QCoro::Task<TranslationSettings> load() override;
    QCoro::Task<> save(TranslationSettings settings) override;

private:
    // Shared with a save in progress, which may outlive the store.
    std::shared_ptr<QSettings> m_settings;
    SecretServiceStore m_tokenFactoryKey;
    SecretServiceStore m_serverKey;
};
