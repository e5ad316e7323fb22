#include "relay/RelayServer.h"
#include "app/services/network/HttpTransport.h"
#include "app/services/network/NebiusClient.h"
#include "app/translation/TranslationDirection.h"
#include "tests/services/FakeHttpService.h"

#include <QDir>
#include <QHttpServerRequest>
#include <QHttpServerResponder>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

namespace {

const QString key = QStringLiteral("sk-relay-operator-key");

QJsonObject chatAnswer(const QString& content) {
    return {{"choices", QJsonArray{QJsonObject{{"message", QJsonObject{{"content", content}}}}}}};
}

QByteArray relayBody(const QString& kind, const QString& text) {
    return QJsonDocument(QJsonObject{{"kind", kind}, {"text", text}})
        .toJson(QJsonDocument::Compact);
}

QString messageOf(const RelayResponse& response) {
    return response.body.value("message").toString();
}

// A Token Factory that keeps every request waiting until told to answer.
class HeldUpstream {
public:
    HeldUpstream() {
        m_server.setMissingHandler(
            [this](const QHttpServerRequest&, QHttpServerResponder&& responder) {
                m_held.push_back(std::move(responder));
            });
        m_port = m_server.listen(QHostAddress::LocalHost);
    }

    QUrl url() const { return QUrl(QStringLiteral("http://127.0.0.1:%1/").arg(m_port)); }
    int waiting() const { return int(m_held.size()); }
    void answerAll(const QString& content) {
        for (auto& responder : m_held)
            responder.write(QJsonDocument(chatAnswer(content)));
        m_held.clear();
    }

private:
    QHttpServer m_server;
    quint16 m_port = 0;
    std::vector<QHttpServerResponder> m_held;
};

} // namespace

class RelayServerTest : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<FakeHttpService> m_upstream;
    std::unique_ptr<RelayServer> m_relay;
    quint16 m_port = 0;
    HttpTransport m_client;

    void startRelay(const QUrl& upstream, const RelayLimits& limits = {}) {
        m_relay = std::make_unique<RelayServer>(upstream, key, limits);
        m_port = m_relay->listen(QHostAddress::LocalHost, 0);
        QVERIFY(m_port != 0);
    }

    QUrl relayUrl(const QString& path) const {
        return QUrl(QStringLiteral("http://127.0.0.1:%1%2").arg(m_port).arg(path));
    }

    QCoro::Task<HttpTransport::Answer> send(QByteArray body, QByteArray client = {},
                                            QByteArray method = "POST",
                                            QString path = "/v1/complete") {
        QNetworkRequest request(relayUrl(path));
        request.setHeader(QNetworkRequest::ContentTypeHeader, "application/json");
        if (!client.isEmpty())
            request.setRawHeader("X-Real-IP", client);
        return m_client.send(request, method, body, 1024 * 1024);
    }

    HttpTransport::Answer call(const QByteArray& body, const QByteArray& client = {}) {
        return QCoro::waitFor(send(body, client));
    }

    // The status and message of a refusal; no answer ever carries the key.
    static void expectRefusal(const HttpTransport::Answer& answer, const RelayResponse& expected) {
        QVERIFY(!answer.body.contains(key.toUtf8()));
        QCOMPARE(statusOf(answer), expected.status);
        QCOMPARE(QJsonDocument::fromJson(answer.body).object().value("message").toString(),
                 messageOf(expected));
    }

    static int statusOf(const HttpTransport::Answer& answer) { return answer.status.value_or(0); }

    static QString contentOf(const HttpTransport::Answer& answer) {
        return QJsonDocument::fromJson(answer.body).object().value("content").toString();
    }

private slots:
    void init() {
        m_upstream = std::make_unique<FakeHttpService>();
        m_upstream->answerJson(200, chatAnswer(QStringLiteral(" 번역\n")));
        startRelay(m_upstream->url("/v1/chat/completions"));
    }

    void cleanup() { m_relay.reset(); }

    void bothKindsGoUpstreamWithTheirPrompt_data() {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<int>("direction");
        QTest::addColumn<QString>("text");
        QTest::newRow("caption") << "en-ko" << int(TranslationDirection::englishToKorean)
                                 << "Let's meet at 3.";
        QTest::newRow("reply") << "ko-en" << int(TranslationDirection::koreanToEnglish)
                               << "세 시에 봬요.";
    }

    void bothKindsGoUpstreamWithTheirPrompt() {
        QFETCH(QString, kind);
        QFETCH(int, direction);
        QFETCH(QString, text);

        const auto answer = call(relayBody(kind, text));
        QCOMPARE(statusOf(answer), 200);
        QCOMPARE(contentOf(answer), QStringLiteral(" 번역\n"));
        QVERIFY(!answer.body.contains(key.toUtf8()));

        QCOMPARE(m_upstream->requests().size(), 1);
        const auto& upstream = m_upstream->requests()[0];
        QCOMPARE(upstream.path, QStringLiteral("/v1/chat/completions"));
        QCOMPARE(upstream.headers.value("authorization"), "Bearer " + key.toUtf8());
        const QJsonObject body = upstream.json();
        QCOMPARE(body.value("model").toString(),
                 QStringLiteral("Qwen/Qwen3-30B-A3B-Instruct-2507"));
        QCOMPARE(body.value("temperature").toDouble(), 0.0);
        QCOMPARE(body.value("max_tokens").toInt(), 600);
        const QJsonArray messages = body.value("messages").toArray();
        QCOMPARE(messages.size(), 2);
        QCOMPARE(messages[0].toObject(),
                 (QJsonObject{{"role", "system"},
                              {"content", systemPrompt(TranslationDirection(direction))}}));
        QCOMPARE(messages[1].toObject(), (QJsonObject{{"role", "user"}, {"content", text}}));
    }

    void badInputIsRefused_data() {
        QTest::addColumn<QByteArray>("method");
        QTest::addColumn<QString>("path");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("message");

        const auto row = [](const char* name, QByteArray method, QString path, QByteArray body,
                            const RelayResponse& expected) {
            QTest::newRow(name) << method << path << body << expected.status << messageOf(expected);
        };
        row("not JSON", "POST", "/v1/complete", "{kind: en-ko}", RelayResponse::badRequest());
        row("body too large", "POST", "/v1/complete",
            relayBody("en-ko", "Hi").chopped(1) + ",\"pad\":\"" + QByteArray(20'000, ' ') + "\"}",
            RelayResponse::tooLarge());
        row("body far too large", "POST", "/v1/complete", QByteArray(1024 * 1024, '{'),
            RelayResponse::tooLarge());
        row("GET", "GET", "/v1/complete", {}, RelayResponse::notFound());
        row("other path", "POST", "/v1/chat/completions", relayBody("en-ko", "Hi"),
            RelayResponse::notFound());
    }

    void badInputIsRefused() {
        QFETCH(QByteArray, method);
        QFETCH(QString, path);
        QFETCH(QByteArray, body);
        QFETCH(int, status);
        QFETCH(QString, message);

        const auto answer = QCoro::waitFor(send(body, {}, method, path));
        expectRefusal(answer, RelayResponse{status, {{"message", message}}});
        QCOMPARE(m_upstream->requests().size(), 0);
        // The connection or the relay is still good for the next request.
        QCOMPARE(statusOf(call(relayBody("en-ko", "Hi"))), 200);
    }

    void upstreamFailuresBecomeKoreanMessages_data() {
        QTest::addColumn<int>("upstreamStatus"); // 0: never answers, -1: unreachable
        QTest::addColumn<QByteArray>("upstreamBody");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("message");

        const auto row = [](const char* name, int upstreamStatus, QByteArray upstreamBody,
                            const RelayResponse& expected) {
            QTest::newRow(name) << upstreamStatus << upstreamBody << expected.status
                                << messageOf(expected);
        };
        row("key refused, echoing it", 401, "invalid key " + key.toUtf8(),
            RelayResponse::upstreamRefused(401));
        row("upstream rate limit", 429, "slow down", RelayResponse::upstreamRefused(429));
        row("upstream error", 500, "oops", RelayResponse::upstreamInvalid());
        row("not JSON", 200, "<html>", RelayResponse::upstreamInvalid());
        row("no content", 200, R"({"choices":[]})", RelayResponse::upstreamInvalid());
        row("answer too large", 200, QByteArray(300 * 1024, ' '), RelayResponse::upstreamInvalid());
        row("unreachable", -1, {}, RelayResponse::upstreamUnreachable());
        row("times out", 0, {}, RelayResponse::upstreamTimedOut());
    }

    void upstreamFailuresBecomeKoreanMessages() {
        QFETCH(int, upstreamStatus);
        QFETCH(QByteArray, upstreamBody);
        QFETCH(int, status);
        QFETCH(QString, message);

        RelayLimits limits;
        limits.upstreamTimeout = std::chrono::milliseconds(200);
        if (upstreamStatus == -1)
            startRelay(QUrl("http://127.0.0.1:1/v1/chat/completions"), limits);
        else
            startRelay(m_upstream->url("/v1/chat/completions"), limits);
        if (upstreamStatus == 0)
            m_upstream->hold();
        else
            m_upstream->answer(upstreamStatus, upstreamBody);

        expectRefusal(call(relayBody("en-ko", "Hi")),
                      RelayResponse{status, {{"message", message}}});
    }

    void rateLimitIsPerClient() {
        RelayLimits limits;
        limits.burstRequests = 2;
        limits.requestsPerMinute = 1;
        startRelay(m_upstream->url(), limits);

        const QByteArray body = relayBody("en-ko", "Hi");
        QCOMPARE(statusOf(call(body, "198.51.100.7")), 200);
        QCOMPARE(statusOf(call(body, "198.51.100.7")), 200);
        expectRefusal(call(body, "198.51.100.7"), RelayResponse::tooManyRequests());
        QCOMPARE(statusOf(call(body, "198.51.100.8")), 200);
        QCOMPARE(m_upstream->requests().size(), 3);
    }

    void busyBeyondTheUpstreamBound() {
        HeldUpstream upstream;
        RelayLimits limits;
        limits.maxUpstreamCalls = 1;
        startRelay(upstream.url(), limits);

        auto first = send(relayBody("en-ko", "One"));
        QTRY_COMPARE(upstream.waiting(), 1);
        expectRefusal(call(relayBody("en-ko", "Two")), RelayResponse::busy());
        upstream.answerAll(QStringLiteral("하나"));
        QCOMPARE(contentOf(QCoro::waitFor(first)), QStringLiteral("하나"));
        auto third = send(relayBody("en-ko", "Three"));
        QTRY_COMPARE(upstream.waiting(), 1);
        upstream.answerAll(QStringLiteral("셋"));
        QCOMPARE(contentOf(QCoro::waitFor(third)), QStringLiteral("셋"));
    }

    void shutDownFinishesTranslationsInFlight() {
        HeldUpstream upstream;
        startRelay(upstream.url());
        QSignalSpy drained(m_relay.get(), &RelayServer::drained);

        auto inFlight = send(relayBody("ko-en", "네"));
        QTRY_COMPARE(upstream.waiting(), 1);
        m_relay->shutDown();
        QCOMPARE(drained.size(), 0);
        QTcpSocket newClient;
        newClient.connectToHost(QHostAddress::LocalHost, m_port);
        QVERIFY(!newClient.waitForConnected(30'000));

        upstream.answerAll(QStringLiteral("Yes"));
        QCOMPARE(contentOf(QCoro::waitFor(inFlight)), QStringLiteral("Yes"));
        QCOMPARE(drained.size(), 1);
    }

    void appClientTranslatesThroughTheRelay() {
        qunsetenv("NEBIUS_TOKEN_FACTORY_KEY");
        QTemporaryDir withoutEnvFile;
        QVERIFY(QDir::setCurrent(withoutEnvFile.path()));
        qputenv("RLY_RELAY_URL", relayUrl("/v1/complete").toEncoded());
        NebiusClient client;
        qunsetenv("RLY_RELAY_URL");

        const auto korean = QCoro::waitFor(outcomeOf(client.translateToKorean("Good morning")));
        QCOMPARE(korean.value, QStringLiteral("번역"));
        const auto english = QCoro::waitFor(outcomeOf(client.translateToEnglish("좋은 아침")));
        QCOMPARE(english.value, QStringLiteral("번역"));
        QCOMPARE(m_upstream->requests().size(), 2);
        QCOMPARE(m_upstream->requests()[1].json()["messages"][1]["content"].toString(),
                 QStringLiteral("좋은 아침"));

        m_upstream->answer(429, {});
        const auto refused = QCoro::waitFor(outcomeOf(client.translateToKorean("Again")));
        QCOMPARE(refused.error, messageOf(RelayResponse::upstreamRefused(429)));
    }

    // The real executable: key from the environment, a free port, SIGTERM.
    // Its log has counts and timings only.
    void executableServesAndStopsOnTerminate() {
        const QString caption = QStringLiteral("Confidential caption words");
        m_upstream->answerJson(200, chatAnswer(QStringLiteral("기밀 번역")));
        QTemporaryDir withoutEnvFile;
        QProcess relay;
        relay.setWorkingDirectory(withoutEnvFile.path());
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("NEBIUS_TOKEN_FACTORY_KEY", key);
        relay.setProcessEnvironment(environment);
        relay.start(RELAYO_RELAY_EXECUTABLE, {"--listen", "127.0.0.1:0", "--upstream",
                                              m_upstream->url("/v1/chat/completions").toString()});
        QByteArray log;
        const QRegularExpression listening("listening on port (\\d+)");
        QTRY_VERIFY_WITH_TIMEOUT(listening.match(log += relay.readAllStandardError()).hasMatch(),
                                 30'000);
        m_port = listening.match(log).captured(1).toUShort();

        QCOMPARE(contentOf(call(relayBody("en-ko", caption))), QStringLiteral("기밀 번역"));
        QCOMPARE(statusOf(call(relayBody("en-xx", caption))), 400);
        relay.terminate();
        QVERIFY(relay.waitForFinished(30'000));
        QCOMPARE(relay.exitStatus(), QProcess::NormalExit);
        QCOMPARE(relay.exitCode(), 0);

        log += relay.readAllStandardError();
        QVERIFY2(log.contains("status=200") && log.contains("status=400"), log.constData());
        for (const QString& secret : {key, caption, QStringLiteral("기밀 번역")})
            QVERIFY2(!log.contains(secret.toUtf8()), log.constData());
    }

    void executableRefusesToStartWithoutKey() {
        QTemporaryDir withoutEnvFile;
        QProcess relay;
        relay.setWorkingDirectory(withoutEnvFile.path());
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.remove("NEBIUS_TOKEN_FACTORY_KEY");
        relay.setProcessEnvironment(environment);
        relay.start(RELAYO_RELAY_EXECUTABLE, {"--listen", "127.0.0.1:0"});
        QVERIFY(relay.waitForFinished(30'000));
        QCOMPARE(relay.exitCode(), 2);
        QVERIFY(relay.readAllStandardError().contains("no Token Factory key"));
    }
};

QTEST_GUILESS_MAIN(RelayServerTest)
#include "RelayServerTest.moc"
