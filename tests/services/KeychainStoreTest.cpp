#include "app/services/keystore/KeychainStore.h"
#include "tests/services/FakeHttpService.h"

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
bool isChild() {
    return qEnvironmentVariableIsSet("RELAYO_KEYCHAIN_CHILD");
}

void runInChild(const QString& busAddress) {
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("DBUS_SESSION_BUS_ADDRESS", busAddress);
    environment.insert("RELAYO_KEYCHAIN_CHILD", "1");
    QProcess child;
    child.setProcessEnvironment(environment);
    child.setProcessChannelMode(QProcess::MergedChannels);
    child.start(QCoreApplication::applicationFilePath(),
                {QString::fromLatin1(QTest::currentTestFunction())});
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
    Outcome<bool> save(const QString& key) { return saveWith(m_store, key); }
    void remove() { QCoro::waitFor(m_store.deleteAPIKey()); }

private slots:
    // Saving replaces an earlier key; deleting a missing key is no error.
    void keyComesBackUnchanged() {
        const QString key = QStringLiteral(" \"키\"-🔑 = 'sk_01' ");
        QCOMPARE(save(QStringLiteral("earlier-key")).error, QString());
        QCOMPARE(save(key).error, QString());
        QCOMPARE(load(), key);
        remove();
        QCOMPARE(load(), std::nullopt);
        remove();
    }

    void withoutSecretServiceNoKeyAndSaveFails() {
        if (!isChild()) {
            QTemporaryDir folder; // a bus socket that is missing
            runInChild(QStringLiteral("unix:path=%1/no-bus").arg(folder.path()));
            return;
        }
        QCOMPARE(load(), std::nullopt);
        const auto saved = save(refusedKey);
        QVERIFY(!saved.value);
        QVERIFY2(saveFailure.match(saved.error).hasMatch(), qPrintable(saved.error));
        remove();
    }

    void stalledSecretServiceNeverBlocksTheCaller() {
        if (!isChild()) {
            // A bus that accepts connections and never says a word.
            QTemporaryDir folder;
            QLocalServer silent;
            QVERIFY(silent.listen(folder.filePath("silent-bus")));
            runInChild(QStringLiteral("unix:path=%1").arg(silent.fullServerName()));
            return;
        }
        KeychainStore store(std::chrono::seconds(2));
        int ticks = 0;
        QTimer ticker;
        connect(&ticker, &QTimer::timeout, this, [&] { ++ticks; });
        ticker.start(0);
        QCOMPARE(QCoro::waitFor(store.loadAPIKey()), std::nullopt);
        QVERIFY(ticks > 0);

        const auto saved = saveWith(store, refusedKey);
        QVERIFY2(saveFailure.match(saved.error).hasMatch(), qPrintable(saved.error));
    }
};

QTEST_GUILESS_MAIN(KeychainStoreTest)
#include "KeychainStoreTest.moc"
