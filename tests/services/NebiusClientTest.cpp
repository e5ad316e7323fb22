#include "app/services/network/NebiusClient.h"
#include "tests/services/FakeHttpService.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QTemporaryDir>
#include <QTest>

namespace {

const QString invalidResponse = "The model returned an invalid response.";

QJsonObject chatAnswer(const QString& content) {
    return {{"choices", QJsonArray{QJsonObject{{"message", QJsonObject{{"content", content}}}}}}};
}

} // namespace

class NebiusClientTest : public QObject {
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_folder;
    std::unique_ptr<FakeHttpService> m_tokenFactory;
    std::unique_ptr<FakeHttpService> m_relay;
    std::unique_ptr<NebiusClient> m_client;

    Outcome<QString> toKorean(const QString& text, const Cancellation& cancellation = {}) {
        return QCoro::waitFor(outcomeOf(m_client->translateToKorean(text, cancellation)));
    }

private slots:
    // Every test starts without a key: no variable, an empty working folder.
    void init() {
        qunsetenv("NEBIUS_TOKEN_FACTORY_KEY");
        m_folder = std::make_unique<QTemporaryDir>();
        QVERIFY(QDir::setCurrent(m_folder->path()));
        m_tokenFactory = std::make_unique<FakeHttpService>();
        m_relay = std::make_unique<FakeHttpService>();
        m_client = std::make_unique<NebiusClient>(m_tokenFactory->url("/v1/chat/completions"),
                                                  m_relay->url("/v1/complete"));
    }

    void withoutKeyOnlyKindAndTextGoToTheRelay() {
        m_relay->answerJson(200, {{"content", " 안녕하세요 \n"}});
        QCOMPARE(toKorean("Hello there").value, QStringLiteral("안녕하세요"));
        QCOMPARE(QCoro::waitFor(outcomeOf(m_client->translateToEnglish("네"))).error, QString());
        QCOMPARE(m_relay->requests().size(), 2);
        const auto& first = m_relay->requests()[0];
        QCOMPARE(first.json(), (QJsonObject{{"kind", "en-ko"}, {"text", "Hello there"}}));
        QVERIFY(!first.headers.contains("authorization"));
        QCOMPARE(m_relay->requests()[1].json(), (QJsonObject{{"kind", "ko-en"}, {"text", "네"}}));
    }

    void keyLookup_data() {
        QTest::addColumn<QString>("environment"); // null: not set
        QTest::addColumn<QByteArray>("envFile");  // empty: no file
        QTest::addColumn<QString>("expectedKey"); // empty: the relay is used
        QTest::newRow("environment wins over file")
            << "env-key" << QByteArray("NEBIUS_TOKEN_FACTORY_KEY=file-key\n") << "env-key";
        QTest::newRow("spaces, quotes, an empty value first")
            << QString()
            << QByteArray("OTHER=1\nNEBIUS_TOKEN_FACTORY_KEY=\n NEBIUS_TOKEN_FACTORY_KEY\t = "
                          " \"a=b\" \r\n")
            << "a=b";
        QTest::newRow("only the start of a long file is read")
            << QString()
            << QByteArray(64 * 1024, '#') + QByteArray("\nNEBIUS_TOKEN_FACTORY_KEY=late\n") << "";
    }

    void keyLookup() {
        QFETCH(QString, environment);
        QFETCH(QByteArray, envFile);
        QFETCH(QString, expectedKey);
        if (!environment.isNull())
            qputenv("NEBIUS_TOKEN_FACTORY_KEY", environment.toUtf8());
        QFile file(m_folder->filePath(".env.local"));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(envFile);
        file.close();
        m_tokenFactory->answerJson(200, chatAnswer("a"));
        m_relay->answerJson(200, {{"content", "a"}});

        QCOMPARE(toKorean("Hi").value, QStringLiteral("a"));
        QCOMPARE(m_relay->requests().size(), expectedKey.isEmpty() ? 1 : 0);
        QCOMPARE(m_tokenFactory->requests().size(), expectedKey.isEmpty() ? 0 : 1);
        if (!expectedKey.isEmpty())
            QCOMPARE(m_tokenFactory->requests()[0].headers.value("authorization"),
                     "Bearer " + expectedKey.toUtf8());
    }

    void tokenFactoryRequestAndTrimmedAnswer() {
        qputenv("NEBIUS_TOKEN_FACTORY_KEY", "k1");
        m_tokenFactory->answerJson(200, chatAnswer(" 안녕하세요\n"));
        QCOMPARE(toKorean("Hello").value, QStringLiteral("안녕하세요"));
        QCOMPARE(QCoro::waitFor(outcomeOf(m_client->translateToEnglish("네"))).value, "안녕하세요");

        const auto& requests = m_tokenFactory->requests();
        QCOMPARE(requests.size(), 2);
        const QJsonArray messages = requests[0].json().value("messages").toArray();
        QCOMPARE(messages.size(), 2);
        QCOMPARE(messages[0]["role"].toString(), QStringLiteral("system"));
        QCOMPARE(messages[1].toObject(), (QJsonObject{{"role", "user"}, {"content", "Hello"}}));
        // Each direction has its own instructions.
        QVERIFY(requests[1].json()["messages"][0]["content"] != messages[0]["content"]);
    }

    void failures_data() {
        QTest::addColumn<bool>("withKey");
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("expected");
        QTest::newRow("long error body is cut")
            << true << 500 << QByteArray(1000, 'x') << QString(400, u'x');
        QTest::newRow("key echoed in error is masked")
            << true << 401 << QByteArray("bad key secret-k1") << "bad key ••••";
        QTest::newRow("content not a string")
            << true << 200 << QByteArray(R"({"choices":[{"message":{"content":3}}]})")
            << invalidResponse;
        QTest::newRow("relay: 503 empty")
            << false << 503 << QByteArray()
            << "번역 서버가 응답하지 않습니다. 잠시 뒤 다시 시도해 주세요.";
        QTest::newRow("relay: not JSON")
            << false << 200 << QByteArray("<html></html>") << invalidResponse;
        QTest::newRow("relay: over 1 MiB")
            << false << 200 << QByteArray(1024 * 1024 + 1, ' ')
            << "The service's answer was larger than 1 MiB and was refused.";
    }

    void failures() {
        QFETCH(bool, withKey);
        QFETCH(int, status);
        QFETCH(QByteArray, body);
        QFETCH(QString, expected);
        if (withKey)
            qputenv("NEBIUS_TOKEN_FACTORY_KEY", "secret-k1");
        (withKey ? m_tokenFactory : m_relay)->answer(status, body);
        const auto outcome = toKorean("Hi");
        QVERIFY(!outcome.value);
        QCOMPARE(outcome.error, expected);
    }

    void unreachableRelayAsksToCheckTheConnection() {
        m_client = std::make_unique<NebiusClient>(m_tokenFactory->url(),
                                                  QUrl("http://127.0.0.1:1/v1/complete"));
        QCOMPARE(toKorean("Hi").error,
                 QStringLiteral("번역 서버에 연결하지 못했습니다. 인터넷 연결을 확인해 주세요."));
    }

    // Cancelled before it starts, nothing is sent; cancelled while waiting, the connection closes.
    void cancellingAbortsTheRequest_data() {
        QTest::addColumn<bool>("withKey");
        QTest::newRow("relay") << false;
        QTest::newRow("token factory") << true;
    }

    void cancellingAbortsTheRequest() {
        QFETCH(bool, withKey);
        if (withKey)
            qputenv("NEBIUS_TOKEN_FACTORY_KEY", "k1");
        FakeHttpService& service = withKey ? *m_tokenFactory : *m_relay;
        Cancellation early;
        early.cancel();
        QVERIFY(!toKorean("Hi", early).value);
        QCOMPARE(service.requests().size(), 0);

        service.hold();
        Cancellation cancellation;
        auto task = outcomeOf(m_client->translateToKorean("Hi", cancellation));
        QTRY_COMPARE_WITH_TIMEOUT(service.openHeldConnections(), 1, 30'000);
        cancellation.cancel();
        const auto outcome = QCoro::waitFor(task);
        QVERIFY(!outcome.value);
        QVERIFY(!outcome.error.isEmpty());
        QTRY_COMPARE_WITH_TIMEOUT(service.openHeldConnections(), 0, 30'000);
    }

    void keyIsNotFollowedToAnotherHost() {
        qputenv("NEBIUS_TOKEN_FACTORY_KEY", "k1");
        FakeHttpService elsewhere;
        m_tokenFactory->answer(302, {}, {{"Location", elsewhere.url("/steal").toEncoded()}});
        QVERIFY(!toKorean("Hi").value);
        QCOMPARE(elsewhere.requests().size(), 0);
    }
};

QTEST_GUILESS_MAIN(NebiusClientTest)
#include "NebiusClientTest.moc"
