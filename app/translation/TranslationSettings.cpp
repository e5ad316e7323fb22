#include "app/translation/TranslationSettings.h"

#include <QSettings>

namespace {

const QString serviceName = QStringLiteral("translation/service");
const QString serverUrlName = QStringLiteral("translation/serverUrl");
const QString serverModelName = QStringLiteral("translation/serverModel");
const QString relayUrlName = QStringLiteral("translation/relayUrl");

} // namespace

TranslationSettings TranslationSettings::read(const QSettings& settings) {
    TranslationSettings read;
    const int service = settings.value(serviceName).toInt();
    // An unknown number (a newer version's choice) counts as no choice.
    if (service > int(Service::none) && service <= int(Service::relay))
        read.service = Service(service);
    read.serverUrl = settings.value(serverUrlName).toString();
    read.serverModel = settings.value(serverModelName).toString();
    read.relayUrl = settings.value(relayUrlName).toString();
    return read;
}

void TranslationSettings::write(QSettings& settings) const {
    settings.setValue(serviceName, int(service));
    settings.setValue(serverUrlName, serverUrl);
    settings.setValue(serverModelName, serverModel);
    settings.setValue(relayUrlName, relayUrl);
}
