#include "app/services/network/NebiusClient.h"
#include "tests/services/FakeHttpService.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTemporaryDir>
#include <QTest>

namespace {

const QString koreanUnreachable = "번역 서버에 연결하지 못했습니다. 인터넷 연결을 확인해 주세요.";
const QString invalidResponse = "The model returned an invalid response.";

} // namespace

class NebiusClientTest : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<QTemporaryDir> m_folder;
    std::unique_ptr<FakeHttpService> m_tokenFactory;
    std::unique_ptr<FakeHttpService> m_relay;
    std::unique_ptr<NebiusClient> m_client;

    void writeEnvFile(const QByteArray& text) {
        QFile file(m_folder->filePath(".env.local"));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(text);
    }

    Outcome<QString> toKorean(const QString& text) {
        return QCoro::waitFor(outcomeOf(m_client->translateToKorean(text)));
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

    // The relay named by the environment.
    void withoutKeyOnlyKindAndTextGoToTheRelay() {
        qputenv("RLY_RELAY_URL", m_relay->url("/v1/complete").toString().toUtf8());
        m_client = std::make_unique<NebiusClient>();
        qunsetenv("RLY_RELAY_URL");
        m_relay->answerJson(200, {{"content", " 안녕하세요 \n"}});
        const auto korean = toKorean("Hello there");
        QCOMPARE(korean.value, QStringLiteral("안녕하세요"));
        const auto english = QCoro::waitFor(outcomeOf(m_client->translateToEnglish("네")));
        QCOMPARE(english.error, QString());

        QCOMPARE(m_relay->requests().size(), 2);
        const auto& first = m_relay->requests()[0];
        QCOMPARE(first.method, QByteArray("POST"));
        QCOMPARE(first.path, QStringLiteral("/v1/complete"));
        QCOMPARE(first.json(), (QJsonObject{{"kind", "en-ko"}, {"text", "Hello there"}}));
        QCOMPARE(first.headers.value("content-type"), QByteArray("application/json"));
        QVERIFY(first.headers.value("user-agent").startsWith("Relayo/"));
        QVERIFY(!first.headers.contains("authorization"));
        QCOMPARE(m_relay->requests()[1].json(), (QJsonObject{{"kind", "ko-en"}, {"text", "네"}}));
    }

    void keyLookup_data() {
        QTest::addColumn<QString>("environment"); // null: not set
        QTest::addColumn<QByteArray>("envFile");  // empty: no file
        QTest::addColumn<QString>("expectedKey"); // empty: the relay is used

        QTest::newRow("environment wins over file")
            << "env-key" << QByteArray("NEBIUS_TOKEN_FACTORY_KEY=file-key\n") << "env-key";
        QTest::newRow("empty environment falls through to file")
            << "" << QByteArray("NEBIUS_TOKEN_FACTORY_KEY=file-key\n") << "file-key";
        QTest::newRow("spaces and quotes")
            << QString() << QByteArray("OTHER=1\n NEBIUS_TOKEN_FACTORY_KEY\t =  \"quoted\" \r\n")
            << "quoted";
        QTest::newRow("nothing after = is skipped")
            << QString()
            << QByteArray("NEBIUS_TOKEN_FACTORY_KEY=\nNEBIUS_TOKEN_FACTORY_KEY='second'\n")
            << "second";
        QTest::newRow("value keeps later =")
            << QString() << QByteArray("==NEBIUS_TOKEN_FACTORY_KEY=a=b\n") << "a=b";
        QTest::newRow("only quotes gives an empty key")
            << QString()
            << QByteArray("NEBIUS_TOKEN_FACTORY_KEY=\"\"\nNEBIUS_TOKEN_FACTORY_KEY=x\n") << "";
        QTest::newRow("shell prefix does not match")
            << QString() << QByteArray("export NEBIUS_TOKEN_FACTORY_KEY=x\n") << "";
        QTest::newRow("no key anywhere") << QString() << QByteArray() << "";
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
        if (!envFile.isEmpty())
            writeEnvFile(envFile);
        m_tokenFactory->answerJson(
            200,
            {{"choices", QJsonArray{QJsonObject{{"message", QJsonObject{{"content", "a"}}}}}}});
        m_relay->answerJson(200, {{"content", "a"}});

        QCOMPARE(toKorean(QStringLiteral("Hi")).value, QStringLiteral("a"));
        if (expectedKey.isEmpty()) {
            QCOMPARE(m_relay->requests().size(), 1);
            QCOMPARE(m_tokenFactory->requests().size(), 0);
        } else {
            QCOMPARE(m_relay->requests().size(), 0);
            QCOMPARE(m_tokenFactory->requests().size(), 1);
            QCOMPARE(m_tokenFactory->requests()[0].headers.value("authorization"),
                     "Bearer " + expectedKey.toUtf8());
        }
    }

    void tokenFactoryRequestAndTrimmedAnswer() {
        qputenv("NEBIUS_TOKEN_FACTORY_KEY", "k1");
        m_tokenFactory->answerJson(
            200,
            {{"choices",
              QJsonArray{QJsonObject{{"message", QJsonObject{{"content", " 안녕하세요\n"}}}}}}});
        QCOMPARE(toKorean(QStringLiteral("Hello")).value, QStringLiteral("안녕하세요"));
        QCOMPARE(QCoro::waitFor(outcomeOf(m_client->translateToEnglish("네"))).value, "안녕하세요");

        const auto& requests = m_tokenFactory->requests();
        QCOMPARE(requests.size(), 2);
        QCOMPARE(requests[0].path, QStringLiteral("/v1/chat/completions"));
        QCOMPARE(requests[0].headers.value("content-type"), QByteArray("application/json"));
        const QJsonObject body = requests[0].json();
        QCOMPARE(body.value("model").toString(), "Qwen/Qwen3-30B-A3B-Instruct-2507");
        QCOMPARE(body.value("temperature").toDouble(), 0.0);
        QCOMPARE(body.value("max_tokens").toInt(), 600);
        const QJsonArray messages = body.value("messages").toArray();
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
        QTest::newRow("error body not UTF-8")
            << true << 502 << QByteArray("\xff\xfe\xfd") << "Token Factory request failed.";
        QTest::newRow("key echoed in error is masked")
            << true << 401 << QByteArray("bad key secret-k1") << "bad key ••••";
        QTest::newRow("no choices")
            << true << 200 << QByteArray(R"({"choices":[]})") << invalidResponse;
        QTest::newRow("content not a string")
            << true << 200 << QByteArray(R"({"choices":[{"message":{"content":3}}]})")
            << invalidResponse;
        QJsonParseError parseError;
        QJsonDocument::fromJson("not json", &parseError);
        QTest::newRow("not JSON") << true << 200 << QByteArray("not json")
                                  << parseError.errorString();
        QTest::newRow("relay: 503 with message")
            << false << 503 << QByteArray(R"({"message":"Busy now"})") << "Busy now";
        QTest::newRow("relay: 503 empty")
            << false << 503 << QByteArray()
            << "번역 서버가 응답하지 않습니다. 잠시 뒤 다시 시도해 주세요.";
        QTest::newRow("relay: content is a number")
            << false << 200 << QByteArray(R"({"content":5})") << invalidResponse;
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
        QCOMPARE(toKorean(QStringLiteral("Hi")).error, koreanUnreachable);
    }

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

    void cancelledBeforeStartSendsNothing() {
        Cancellation cancellation;
        cancellation.cancel();
        const auto outcome =
            QCoro::waitFor(outcomeOf(m_client->translateToKorean("Hi", cancellation)));
        QVERIFY(!outcome.value);
        QCOMPARE(m_relay->requests().size(), 0);
    }

    void keyIsNotFollowedToAnotherHost() {
        qputenv("NEBIUS_TOKEN_FACTORY_KEY", "k1");
        FakeHttpService elsewhere;
        m_tokenFactory->answer(302, {}, {{"Location", elsewhere.url("/steal").toEncoded()}});
        const auto outcome = toKorean("Hi");
        QVERIFY(!outcome.value);
        QCOMPARE(elsewhere.requests().size(), 0);
    }
};

QTEST_GUILESS_MAIN(NebiusClientTest)
#include "NebiusClientTest.moc"
