#include "app/services/network/ServiceEndpoints.h"

#include <QtGlobal>

namespace ServiceEndpoints {

QUrl tokenFactory() {
    return QUrl(QStringLiteral("https://api.tokenfactory.nebius.com/v1/chat/completions"));
}

QUrl relay() {
    const QString override = qEnvironmentVariable("RLY_RELAY_URL");
    if (!override.isEmpty())
        return QUrl(override);
    return QUrl(QStringLiteral("https://relay.relayo.quillworks.app/v1/complete"));
}

QUrl elevenLabs() {
    return QUrl(QStringLiteral("https://api.elevenlabs.io"));
}

} // namespace ServiceEndpoints
