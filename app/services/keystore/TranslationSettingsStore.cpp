#include "app/services/keystore/TranslationSettingsStore.h"

#include "app/services/keystore/KeychainError.h"

#include <QStringDecoder>

namespace {

SecretServiceStore keyItem(const char* service, const char* label,
                           std::chrono::milliseconds waitLimit) {
    return SecretServiceStore(QString::fromLatin1(service), QStringLiteral("api-key"),
                              QString::fromUtf8(label), waitLimit);
}

QCoro::Task<QString> loadKey(const SecretServiceStore& item) {
    const std::optional<QByteArray> bytes = co_await item.lookup();
    if (!bytes)
        co_return QString();
    QStringDecoder decoder(QStringDecoder::Utf8);
    const QString key = decoder.decode(*bytes);
    co_return decoder.hasError() ? QString() : key;
}

QCoro::Task<> saveKey(const SecretServiceStore& item, QString key) {
    if (key.isEmpty()) {
        co_await item.clear();
        co_return;
    }
    if (const std::optional<int> failure = co_await item.store(key.toUtf8()))
        throw KeychainError(*failure);
}

} // namespace

TranslationSettingsStore::TranslationSettingsStore(std::unique_ptr<QSettings> settings,
                                                   std::chrono::milliseconds waitLimit)
    : m_settings(std::move(settings)),
      m_tokenFactoryKey(
          keyItem("com.quillworks.relayo.tokenfactory", "Relayo Token Factory API key", waitLimit)),
      m_serverKey(keyItem("com.quillworks.relayo.translation-server",
                          "Relayo translation server API key", waitLimit)) {}

TranslationSettingsStore::~TranslationSettingsStore() = default;

// Each call works on copies of what it needs: the store may go while the keyring answers.
QCoro::Task<TranslationSettings> TranslationSettingsStore::load() {
    const SecretServiceStore tokenFactoryKey = m_tokenFactoryKey;
    const SecretServiceStore serverKey = m_serverKey;
    TranslationSettings settings = TranslationSettings::read(*m_settings);
    settings.tokenFactoryKey = co_await loadKey(tokenFactoryKey);
    settings.serverKey = co_await loadKey(serverKey);
    co_return settings;
}

QCoro::Task<> TranslationSettingsStore::save(TranslationSettings settings) {
    const SecretServiceStore tokenFactoryKey = m_tokenFactoryKey;
    const SecretServiceStore serverKey = m_serverKey;
    const std::shared_ptr<QSettings> stored = m_settings;
    co_await saveKey(tokenFactoryKey, settings.tokenFactoryKey);
    co_await saveKey(serverKey, settings.serverKey);
    settings.write(*stored);
    stored->sync();
}
