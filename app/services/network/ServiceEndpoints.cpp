#include "app/services/network/ServiceEndpoints.h"

#include <QtGlobal>

namespace ServiceEndpoints {

QUrl tokenFactory() {
    return QUrl(QStringLiteral("https://api.tokenfactory.nebius.com/v1/chat/completions"));
}

QUrl elevenLabs() {
    return QUrl(QStringLiteral("https://api.elevenlabs.io"));
}

} // namespace ServiceEndpoints
