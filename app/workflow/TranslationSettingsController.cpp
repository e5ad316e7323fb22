#include "app/workflow/TranslationSettingsController.h"

#include "app/core/ServiceError.h"

#include <QPointer>

namespace {

using Service = TranslationSettings::Service;

Service serviceOf(int number) {
    return number > int(Service::none) && number <= int(Service::relay) ? Service(number)
                                                                        : Service::none;
}

} // namespace

TranslationSettingsController::TranslationSettingsController(
    std::unique_ptr<ITranslationSettingsStore> store, INebiusClient& client, QObject* parent)
    : QObject(parent), m_store(std::move(store)), m_client(client),
      m_hasService(client.hasService()) {
    load();
}

TranslationSettingsController::~TranslationSettingsController() = default;

QCoro::Task<> TranslationSettingsController::load() {
    QPointer self(this);
    TranslationSettings settings = co_await m_store->load();
    if (self)
        apply(std::move(settings));
}

QCoro::Task<> TranslationSettingsController::save(TranslationSettings settings) {
    QPointer self(this);
    std::optional<QString> failure;
    try {
        co_await m_store->save(settings);
    } catch (const std::exception& error) {
        failure = describe(error);
    }
    if (!self)
        co_return;
    if (failure) {
        setStatus(*failure);
        co_return;
    }
    apply(std::move(settings));
    setStatus(m_hasService ? QStringLiteral("저장했어요. 다음 문장부터 이 서비스로 번역해요.")
                           : QStringLiteral("저장했어요. 아직 번역 서비스가 정해지지 않았어요."));
}

void TranslationSettingsController::choose(int service, const QString& serverUrl,
                                           const QString& serverModel, const QString& relayUrl,
                                           const QString& newTokenFactoryKey,
                                           const QString& newServerKey) {
    TranslationSettings settings = m_settings;
    settings.service = serviceOf(service);
    settings.serverUrl = serverUrl.trimmed();
    settings.serverModel = serverModel.trimmed();
    settings.relayUrl = relayUrl.trimmed();
    if (!newTokenFactoryKey.trimmed().isEmpty())
        settings.tokenFactoryKey = newTokenFactoryKey.trimmed();
    if (!newServerKey.trimmed().isEmpty())
        settings.serverKey = newServerKey.trimmed();
    save(std::move(settings));
}

void TranslationSettingsController::forgetKey(int service) {
    TranslationSettings settings = m_settings;
    (serviceOf(service) == Service::tokenFactory ? settings.tokenFactoryKey : settings.serverKey)
        .clear();
    save(std::move(settings));
}

bool TranslationSettingsController::refreshService() {
    const bool hasService = m_client.hasService();
    if (hasService != m_hasService) {
        m_hasService = hasService;
        emit hasServiceChanged();
    }
    return hasService;
}

void TranslationSettingsController::apply(TranslationSettings settings) {
    m_settings = std::move(settings);
    m_client.useSettings(m_settings);
    emit changed();
    refreshService();
}

void TranslationSettingsController::setStatus(const QString& status) {
    m_status = status;
    emit statusChanged();
}
