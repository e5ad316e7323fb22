#pragma once

#include "app/translation/TranslationSettings.h"
#include "app/workflow/contracts/INebiusClient.h"
#include "app/workflow/contracts/ITranslationSettingsStore.h"

#include <QObject>
#include <QString>
#include <memory>
#include <qcoro/qcorotask.h>

// The settings sheet's translation group: which service translates, kept in the store and
// handed to the translation client. Keys are never shown again once stored, only whether
// there is one.
class TranslationSettingsController : public QObject {
    Q_OBJECT
    // TranslationSettings::Service as a number: 0 none, 1 Token Factory, 2 OpenAI-compatible
    // server, 3 relay.
    Q_PROPERTY(int service READ service NOTIFY changed)
    Q_PROPERTY(QString serverUrl READ serverUrl NOTIFY changed)
    Q_PROPERTY(QString serverModel READ serverModel NOTIFY changed)
    Q_PROPERTY(QString relayUrl READ relayUrl NOTIFY changed)
    Q_PROPERTY(bool hasTokenFactoryKey READ hasTokenFactoryKey NOTIFY changed)
    Q_PROPERTY(bool hasServerKey READ hasServerKey NOTIFY changed)
    Q_PROPERTY(bool hasService READ hasService NOTIFY hasServiceChanged)
    Q_PROPERTY(QString status READ status NOTIFY statusChanged)

public:
    TranslationSettingsController(std::unique_ptr<ITranslationSettingsStore> store,
                                  INebiusClient& client, QObject* parent = nullptr);
    ~TranslationSettingsController() override;

    int service() const { return int(m_settings.service); }
    QString serverUrl() const { return m_settings.serverUrl; }
    QString serverModel() const { return m_settings.serverModel; }
    QString relayUrl() const { return m_settings.relayUrl; }
    bool hasTokenFactoryKey() const { return !m_settings.tokenFactoryKey.isEmpty(); }
    bool hasServerKey() const { return !m_settings.serverKey.isEmpty(); }
    bool hasService() const { return m_hasService; }
    QString status() const { return m_status; }

    // Reads the stored choice and hands it to the client.
    QCoro::Task<> load();
    // Stores a new choice. An empty key keeps the stored one; `forgetKey` removes it.
    QCoro::Task<> save(TranslationSettings settings);
    // Asks the client again, the environment included; true when a service is there.
    bool refreshService();

    Q_INVOKABLE void choose(int service, const QString& serverUrl, const QString& serverModel,
                            const QString& relayUrl, const QString& newTokenFactoryKey,
                            const QString& newServerKey);
    // 1 the Token Factory key, 2 the server's.
    Q_INVOKABLE void forgetKey(int service);

signals:
    void changed();
    void hasServiceChanged();
    void statusChanged();

private:
    void apply(TranslationSettings settings);
    void setStatus(const QString& status);

    std::unique_ptr<ITranslationSettingsStore> m_store;
    INebiusClient& m_client;
    TranslationSettings m_settings;
    bool m_hasService = false;
    QString m_status;
};
