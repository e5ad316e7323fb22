#pragma once

#include <QString>

class QSettings;

// The translation service the user chose in the settings. The keys live in the Secret Service;
// `read` and `write` cover only the rest.
struct TranslationSettings {
    enum class Service { none, tokenFactory, openAICompatible, relay };

    Service service = Service::none;
    QString tokenFactoryKey;
    // An OpenAI-compatible server: its base URL up to, not including, "/chat/completions".
    QString serverUrl;
    QString serverModel;
    QString serverKey; // empty: the server needs none
    // The relay's full address, ending in "/v1/complete".
    QString relayUrl;

    static TranslationSettings read(const QSettings& settings);
    void write(QSettings& settings) const;

    bool operator==(const TranslationSettings&) const = default;
};
