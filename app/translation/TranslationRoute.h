#pragma once

#include "app/translation/TranslationSettings.h"

#include <QString>
#include <QUrl>

// Where one translation goes, decided anew for every request. The environment wins over the
// settings, so scripts and tests can point any copy elsewhere: RLY_TRANSLATION_URL (an
// OpenAI-compatible base URL, with RLY_TRANSLATION_MODEL and RLY_TRANSLATION_KEY), then a
// Token Factory key from NEBIUS_TOKEN_FACTORY_KEY or ".env.local", then RLY_RELAY_URL, then
// the service chosen in the settings.
struct TranslationRoute {
    enum class Kind { none, chat, relay };

    Kind kind = Kind::none;
    QUrl url; // the chat-completions endpoint or the relay's
    QString model;
    QString key; // empty: no Authorization header

    static TranslationRoute resolve(const TranslationSettings& settings,
                                    const QUrl& tokenFactoryEndpoint);
    // The chat-completions endpoint under an OpenAI-compatible base URL.
    static QUrl chatEndpoint(const QString& baseUrl);
};
