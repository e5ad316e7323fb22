#include "app/services/keystore/KeychainStore.h"

#include "app/platform/SecretServiceStore.h"
#include "app/services/keystore/KeychainError.h"

#include <QStringDecoder>

KeychainStore::KeychainStore(std::chrono::milliseconds waitLimit)
    : m_store(std::make_unique<SecretServiceStore>(
          QStringLiteral("com.quillworks.relayo.elevenlabs"), QStringLiteral("api-key"),
          QStringLiteral("Relayo ElevenLabs API key"), waitLimit)) {}

KeychainStore::~KeychainStore() = default;

QCoro::Task<> KeychainStore::saveAPIKey(QString key) {
    const QByteArray bytes = key.toUtf8();
    const std::optional<int> failure = co_await m_store->store(bytes);
    if (failure)
        throw KeychainError(*failure);
}

QCoro::Task<std::optional<QString>> KeychainStore::loadAPIKey() {
    const std::optional<QByteArray> bytes = co_await m_store->lookup();
    if (!bytes)
        co_return std::nullopt;
    QStringDecoder decoder(QStringDecoder::Utf8);
    const QString key = decoder.decode(*bytes);
    if (decoder.hasError())
        co_return std::nullopt;
    co_return key;
}

QCoro::Task<> KeychainStore::deleteAPIKey() {
    co_await m_store->clear();
}
