// The relay: its request parser and rate limiter, the server in process against a loopback Token
// Factory, and the real executable between the app's client and that Token Factory.
#include "app/services/network/HttpTransport.h"
#include "app/services/network/NebiusClient.h"
#include "app/translation/TranslationDirection.h"
#include "relay/RateLimiter.h"
#include "relay/RelayServer.h"
#include "tests/services/FakeHttpService.h"

#include <QDir>
#include <QHttpServerResponder>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include <tuple>

namespace {

const QString key = QStringLiteral("sk-relay-operator-key");

QJsonObject chatAnswer(const QString& content) {
    return {{"choices", QJsonArray{QJsonObject{{"message", QJsonObject{{"content", content}}}}}}};
}

QByteArray relayBody(const QString& kind, const QString& text) {
    return QJsonDocument(QJsonObject{{"kind", kind}, {"text", text}})
        .toJson(QJsonDocument::Compact);
}

using Ask = std::tuple<QString, double, bool>; // a client, when it asks, whether it is admitted

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

Q_DECLARE_METATYPE(QList<Ask>)
Q_DECLARE_METATYPE(RelayResponse)

class RelayTest : public QObject {
    Q_OBJECT

    std::unique_ptr<FakeHttpService> m_upstream;
    std::unique_ptr<RelayServer> m_relay;
    quint16 m_port = 0;
    HttpTransport m_client;

    void startRelay(const QUrl& upstream, const RelayLimits& limits = {}) {
        m_relay = std::make_unique<RelayServer>(upstream, key, limits);
        m_port = m_relay->listen(QHostAddress::LocalHost, 0);
        QVERIFY(m_port != 0);
    }

    QCoro::Task<HttpTransport::Answer> send(QByteArray body, QByteArray client = {},
                                            QByteArray method = "POST",
                                            QString path = "/v1/complete") {
        QNetworkRequest request(
            QUrl(QStringLiteral("http://127.0.0.1:%1%2").arg(m_port).arg(path)));
        request.setHeader(QNetworkRequest::ContentTypeHeader, "application/json");
        if (!client.isEmpty())
            request.setRawHeader("X-Real-IP", client);
        return m_client.send(request, method, body, 1024 * 1024);
    }

    HttpTransport::Answer call(const QByteArray& body, const QByteArray& client = {}) {
        return QCoro::waitFor(send(body, client));
    }

    // No answer ever carries the key.
    static void expect(const HttpTransport::Answer& answer, const RelayResponse& expected) {
        QVERIFY(!answer.body.contains(key.toUtf8()));
        QCOMPARE(answer.status.value_or(0), expected.status);
        QCOMPARE(QJsonDocument::fromJson(answer.body).object(), expected.body);
    }

    // With the operator's key, the direction's prompt and the text as it came.
    void verifyAskedUpstream(const QJsonObject& request) {
        QCOMPARE(m_upstream->requests().size(), 1);
        const auto& upstream = m_upstream->requests()[0];
        QCOMPARE(upstream.headers.value("authorization"), "Bearer " + key.toUtf8());
        const auto direction = request["kind"] == "ko-en" ? TranslationDirection::koreanToEnglish
                                                          : TranslationDirection::englishToKorean;
        QCOMPARE(upstream.json().value("messages").toArray(),
                 (QJsonArray{QJsonObject{{"role", "system"}, {"content", systemPrompt(direction)}},
                             QJsonObject{{"role", "user"}, {"content", request["text"]}}}));
    }

private slots:
    void init() {
        m_upstream = std::make_unique<FakeHttpService>();
        m_upstream->answerJson(200, chatAnswer(QStringLiteral(" 번역\n")));
        startRelay(m_upstream->url("/v1/chat/completions"));
    }

    // A client asks at a moment (seconds after the start) and is admitted or not; burst 2, one
    // request a second after that.
    void limitsTheRatePerClient_data() {
        QTest::addColumn<QList<Ask>>("asks");
        const QString a = "192.0.2.1";
        QTest::newRow("refills at the rate")
            << QList<Ask>{{a, 0, true}, {a, 0, true}, {a, 0.5, false}, {a, 1, true}};
        QTest::newRow("never above the burst")
            << QList<Ask>{{a, 0, true}, {a, 100, true}, {a, 100, true}, {a, 100, false}};
        QTest::newRow("one IPv6 /64 is one client") << QList<Ask>{
            {"2001:db8::1", 0, true}, {"2001:db8::ffff:2", 0, true}, {"2001:db8::3", 0, false}};
    }
    void limitsTheRatePerClient() {
        QFETCH(QList<Ask>, asks);
        RateLimiter limiter(2, 60);
        const auto start = RateLimiter::Clock::now();
        for (const auto& [client, seconds, admitted] : asks) {
            const auto at = start + std::chrono::duration_cast<RateLimiter::Clock::duration>(
                                        std::chrono::duration<double>(seconds));
            QVERIFY2(limiter.admit(QHostAddress(client), at) == admitted,
                     qPrintable(QStringLiteral("%1 at %2 s").arg(client).arg(seconds)));
        }
    }

    // Each request against an upstream that answers with a status and a body (0: never answers,
    // -1: unreachable); no answer ever carries the key. The parser's refusals are seen here.
    void answers_data() {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<int>("upstreamStatus");
        QTest::addColumn<QByteArray>("upstreamBody");
        QTest::addColumn<RelayResponse>("expected");
        const QByteArray translated = QJsonDocument(chatAnswer(" 번역\n")).toJson();
        const auto row = [&](const char* name, const QByteArray& body,
                             const RelayResponse& expected, int upstreamStatus = 200,
                             QByteArray upstreamBody = {}, QString path = "/v1/complete") {
            QTest::newRow(name) << path << body << upstreamStatus
                                << (upstreamBody.isNull() ? translated : upstreamBody) << expected;
        };
        const auto hi = relayBody("en-ko", "Hi");
        const auto ok = RelayResponse::translation(" 번역\n");
        row("reply, other members ignored", R"({"text":" 네 ","kind":"ko-en","model":"x"})", ok);
        row("text over the bound", relayBody("en-ko", QString(2001, u'a')),
            RelayResponse::tooLarge());
        row("body over the bound",
            R"({"kind":"en-ko","text":"Hi","pad":")" + QByteArray(16 * 1024, ' ') + R"("})",
            RelayResponse::tooLarge());
        row("not JSON", "kind=en-ko", RelayResponse::badRequest());
        row("unknown kind", relayBody("en-fr", "Hi"), RelayResponse::badRequest());
        row("only white space", relayBody("en-ko", " \n\t"), RelayResponse::badRequest());
        row("other path", hi, RelayResponse::notFound(), 200, {}, "/v1/chat/completions");
        row("key refused, echoing it", hi, RelayResponse::upstreamRefused(401), 401,
            "invalid key " + key.toUtf8());
        row("no content", hi, RelayResponse::upstreamInvalid(), 200, R"({"choices":[]})");
        row("answer too large", hi, RelayResponse::upstreamInvalid(), 200,
            QByteArray(300 * 1024, ' '));
        row("unreachable", hi, RelayResponse::upstreamUnreachable(), -1);
        row("times out", hi, RelayResponse::upstreamTimedOut(), 0);
    }
    void answers() {
        QFETCH(QString, path);
        QFETCH(QByteArray, body);
        QFETCH(int, upstreamStatus);
        QFETCH(QByteArray, upstreamBody);
        QFETCH(RelayResponse, expected);
        RelayLimits limits;
        if (upstreamStatus == 0) {
            limits.upstreamTimeout = std::chrono::milliseconds(200);
            m_upstream->hold();
        } else {
            m_upstream->answer(upstreamStatus, upstreamBody);
        }
        startRelay(upstreamStatus == -1 ? QUrl("http://127.0.0.1:1/v1/chat/completions")
                                        : m_upstream->url("/v1/chat/completions"),
                   limits);
        expect(QCoro::waitFor(send(body, {}, "POST", path)), expected);
        if (expected.body.contains("content"))
            verifyAskedUpstream(QJsonDocument::fromJson(body).object());
        if (expected.status / 100 == 4) {
            // Refused without asking upstream, and the relay still serves the next request.
            QCOMPARE(m_upstream->requests().size(), 0);
            QVERIFY(call(relayBody("en-ko", "Hi")).isSuccess());
        }
    }

    // The client is the address the front proxy names.
    void rateLimitIsPerClient() {
        RelayLimits limits;
        limits.burstRequests = 1;
        limits.requestsPerMinute = 1;
        startRelay(m_upstream->url(), limits);
        const QByteArray body = relayBody("en-ko", "Hi");
        QVERIFY(call(body, "198.51.100.7").isSuccess());
        expect(call(body, "198.51.100.7"), RelayResponse::tooManyRequests());
        QVERIFY(call(body, "198.51.100.8").isSuccess());
        QCOMPARE(m_upstream->requests().size(), 2);
    }

    // One call upstream at a time: another is busy meanwhile and health reports it; its slot is
    // free again once answered. Shutting down refuses new clients but finishes the call in flight.
    void boundsUpstreamCallsAndFinishesThemOnShutDown() {
        HeldUpstream upstream;
        RelayLimits limits;
        limits.maxUpstreamCalls = 1;
        startRelay(upstream.url(), limits);
        QSignalSpy drained(m_relay.get(), &RelayServer::drained);

        auto first = send(relayBody("en-ko", "One"));
        QTRY_COMPARE_WITH_TIMEOUT(upstream.waiting(), 1, 30'000);
        expect(call(relayBody("en-ko", "Two")), RelayResponse::busy());
        expect(QCoro::waitFor(send({}, {}, "GET", "/healthz")), RelayResponse::healthy(1));
        upstream.answerAll(QStringLiteral("하나"));
        expect(QCoro::waitFor(first), RelayResponse::translation("하나"));

        auto inFlight = send(relayBody("ko-en", "네"));
        QTRY_COMPARE_WITH_TIMEOUT(upstream.waiting(), 1, 30'000);
        m_relay->shutDown();
        QTcpSocket newClient;
        newClient.connectToHost(QHostAddress::LocalHost, m_port);
        QVERIFY(!newClient.waitForConnected(30'000));
        QCOMPARE(drained.size(), 0);
        upstream.answerAll(QStringLiteral("Yes"));
        expect(QCoro::waitFor(inFlight), RelayResponse::translation("Yes"));
        QCOMPARE(drained.size(), 1);
    }

    // The app's client through the real executable, which takes its key from the environment and
    // a free port, and stops on SIGTERM. Its log has counts and timings only.
    void appTranslatesThroughTheExecutable() {
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

        qunsetenv("NEBIUS_TOKEN_FACTORY_KEY");
        QVERIFY(QDir::setCurrent(withoutEnvFile.path()));
        qputenv("RLY_RELAY_URL",
                QStringLiteral("http://127.0.0.1:%1/v1/complete").arg(m_port).toUtf8());
        NebiusClient client;
        qunsetenv("RLY_RELAY_URL");
        const auto korean = QCoro::waitFor(outcomeOf(client.translateToKorean(caption)));
        QCOMPARE(korean.value, QStringLiteral("기밀 번역"));

        relay.terminate();
        QVERIFY(relay.waitForFinished(30'000));
        QVERIFY(relay.exitStatus() == QProcess::NormalExit && relay.exitCode() == 0);
        log += relay.readAllStandardError();
        QVERIFY2(log.contains("status=200"), log.constData());
        for (const QString& secret : {key, caption, QStringLiteral("기밀 번역")})
            QVERIFY2(!log.contains(secret.toUtf8()), log.constData());
    }
};

QTEST_GUILESS_MAIN(RelayTest)
#include "RelayTest.moc"
