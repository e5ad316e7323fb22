#include "app/services/keystore/KeychainStore.h"
#include "app/services/keystore/TranslationSettingsStore.h"
#include "tests/services/FakeHttpService.h"
#include "tests/support/PrivateKeyring.h"

#include <QLocalServer>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

namespace {

// A key that a failed save must not leave in any message.
constexpr char refusedKey[] = "sk-refused-key";

const QRegularExpression saveFailure(
    QStringLiteral(R"(^The API key could not be saved securely \(keyring error -?\d+\)\.$)"));

// Scenarios without a working Secret Service run in a child process of this binary that
// runs only that test, with its own bus address, so the keyring of the others is untouched.
void runInChild(const QString& busAddress) {
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("DBUS_SESSION_BUS_ADDRESS", busAddress);
    environment.insert("RELAYO_KEYCHAIN_CHILD", "1");
    QProcess child;
    child.setProcessEnvironment(environment);
    child.setProcessChannelMode(QProcess::MergedChannels);
    child.start(
        QCoreApplication::applicationFilePath(),
        {QStringLiteral("%1:%2").arg(QTest::currentTestFunction(), QTest::currentDataTag())});
    QVERIFY(child.waitForFinished(240'000));
    const QByteArray output = child.readAll();
    QVERIFY2(child.exitStatus() == QProcess::NormalExit && child.exitCode() == 0,
             output.constData());
    QVERIFY(!output.contains(refusedKey));
}

Outcome<bool> saveWith(KeychainStore& store, const QString& key) {
    return QCoro::waitFor(outcomeOf([&]() -> QCoro::Task<bool> {
        co_await store.saveAPIKey(key);
        co_return true;
    }()));
}

} // namespace

class KeychainStoreTest : public QObject {
    Q_OBJECT

    KeychainStore m_store;

    std::optional<QString> load() { return QCoro::waitFor(m_store.loadAPIKey()); }
    void remove() { QCoro::waitFor(m_store.deleteAPIKey()); }

private slots:
    // Saving replaces an earlier key; deleting a missing key is no error.
    void keyComesBackUnchanged() {
        REQUIRE_PRIVATE_KEYRING();
        const QString key = QStringLiteral(" \"키\"-🔑 = 'sk_01' ");
        QCOMPARE(saveWith(m_store, QStringLiteral("earlier-key")).error, QString());
        QCOMPARE(saveWith(m_store, key).error, QString());
        QCOMPARE(load(), key);
        remove();
        QCOMPARE(load(), std::nullopt);
        remove();
    }

    // The translation choice comes back through a new store, its keys from the keyring beside
    // the ElevenLabs key (which it leaves alone) and never in the settings file; an empty key
    // removes the stored one.
    void translationSettingsComeBackWithTheirKeys() {
        REQUIRE_PRIVATE_KEYRING();
        QTemporaryDir folder;
        const QString path = folder.filePath("settings.ini");
        const auto storeAt = [&] {
            return TranslationSettingsStore(
                std::make_unique<QSettings>(path, QSettings::IniFormat));
        };
        QCOMPARE(saveWith(m_store, QStringLiteral("eleven-key")).error, QString());
        TranslationSettings chosen;
        chosen.service = TranslationSettings::Service::openAICompatible;
        chosen.tokenFactoryKey = QStringLiteral("tf-키-1");
        chosen.serverUrl = QStringLiteral("http://127.0.0.1:11434/v1");
        chosen.serverModel = QStringLiteral("qwen2.5:7b");
        chosen.serverKey = QStringLiteral("server-key-2");
        chosen.relayUrl = QStringLiteral("https://relay.example.org/v1/complete");
        QCoro::waitFor(storeAt().save(chosen));
        QCOMPARE(QCoro::waitFor(storeAt().load()), chosen);
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray written = file.readAll();
        QVERIFY(!written.contains("tf-") && !written.contains("server-key-2"));

        chosen.tokenFactoryKey.clear();
        chosen.serverKey.clear();
        QCoro::waitFor(storeAt().save(chosen));
        QCOMPARE(QCoro::waitFor(storeAt().load()), chosen);
        QCOMPARE(load(), QStringLiteral("eleven-key"));
        remove();
    }

    void withoutAnAnsweringSecretServiceNoKeyAndSaveFails_data() {
        QTest::addColumn<bool>("silent");
        QTest::newRow("bus socket missing") << false;
        QTest::newRow("bus that accepts connections and never says a word") << true;
    }

    void withoutAnAnsweringSecretServiceNoKeyAndSaveFails() {
        QFETCH(bool, silent);
        if (!qEnvironmentVariableIsSet("RELAYO_KEYCHAIN_CHILD")) {
            QTemporaryDir folder;
            QLocalServer bus;
            QVERIFY(!silent || bus.listen(folder.filePath("bus")));
            runInChild("unix:path=" + folder.filePath("bus"));
            return;
        }
        // The caller's event loop keeps running while the store waits.
        KeychainStore store(std::chrono::seconds(2));
        int ticks = 0;
        QTimer ticker;
        connect(&ticker, &QTimer::timeout, this, [&] { ++ticks; });
        ticker.start(0);
        QCOMPARE(QCoro::waitFor(store.loadAPIKey()), std::nullopt);
        QVERIFY(!silent || ticks > 0);
        const auto saved = saveWith(store, refusedKey);
        QVERIFY2(saveFailure.match(saved.error).hasMatch(), qPrintable(saved.error));
        QCoro::waitFor(store.deleteAPIKey());

        // A store that goes while the keyring is asked leaves the call to end on its own.
        QTemporaryDir folder;
        auto settings = std::make_unique<TranslationSettingsStore>(
            std::make_unique<QSettings>(folder.filePath("settings.ini"), QSettings::IniFormat),
            std::chrono::seconds(2));
        QCoro::Task<TranslationSettings> loading = settings->load();
        settings.reset();
        QCOMPARE(QCoro::waitFor(std::move(loading)).serverKey, QString());
    }
};

QTEST_GUILESS_MAIN(KeychainStoreTest)
#include "KeychainStoreTest.moc"
