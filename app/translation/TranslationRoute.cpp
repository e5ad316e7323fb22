#include "app/translation/TranslationRoute.h"

#include "app/translation/ChatCompletion.h"
#include "app/translation/TokenFactoryKey.h"

namespace {

using Kind = TranslationRoute::Kind;
using Service = TranslationSettings::Service;

// Servers that serve one model (llama.cpp) ignore the name; the others need one.
QString modelOr(const QString& model) {
    return model.isEmpty() ? ChatCompletion::translationModel : model;
}

TranslationRoute server(const QString& baseUrl, const QString& model, const QString& key) {
    return {Kind::chat, TranslationRoute::chatEndpoint(baseUrl), modelOr(model), key};
}

TranslationRoute fromSettings(const TranslationSettings& settings,
                              const QUrl& tokenFactoryEndpoint) {
    switch (settings.service) {
    case Service::tokenFactory:
        if (!settings.tokenFactoryKey.isEmpty())
            return {Kind::chat, tokenFactoryEndpoint, ChatCompletion::translationModel,
                    settings.tokenFactoryKey};
        break;
    case Service::openAICompatible:
        if (!settings.serverUrl.trimmed().isEmpty())
            return server(settings.serverUrl, settings.serverModel.trimmed(), settings.serverKey);
        break;
    case Service::relay:
        if (!settings.relayUrl.trimmed().isEmpty())
            return {Kind::relay, QUrl(settings.relayUrl.trimmed()), {}, {}};
        break;
    case Service::none:
        break;
    }
    return {};
}

} // namespace

TranslationRoute TranslationRoute::resolve(const TranslationSettings& settings,
                                           const QUrl& tokenFactoryEndpoint) {
    const QString serverUrl = qEnvironmentVariable("RLY_TRANSLATION_URL");
    if (!serverUrl.isEmpty())
        return server(serverUrl, qEnvironmentVariable("RLY_TRANSLATION_MODEL"),
                      qEnvironmentVariable("RLY_TRANSLATION_KEY"));
    if (const auto key = TokenFactoryKey::load(); key && !key->isEmpty())
        return {Kind::chat, tokenFactoryEndpoint, ChatCompletion::translationModel, *key};
    const QString relayUrl = qEnvironmentVariable("RLY_RELAY_URL");
    if (!relayUrl.isEmpty())
        return {Kind::relay, QUrl(relayUrl), {}, {}};
    return fromSettings(settings, tokenFactoryEndpoint);
}

QUrl TranslationRoute::chatEndpoint(const QString& baseUrl) {
    QString base = baseUrl.trimmed();
    while (base.endsWith(u'/'))
        base.chop(1);
    return QUrl(base + QStringLiteral("/chat/completions"), QUrl::StrictMode);
}
