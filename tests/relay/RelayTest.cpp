// The relay: its request parser and rate limiter, the server in process against a loopback Token
// Factory, and the real executable between the app's client and that Token Factory.
#include "app/services/network/HttpTransport.h"
#include "app/services/network/NebiusClient.h"
#include "app/translation/TranslationDirection.h"
#include "relay/RateLimiter.h"
#include "relay/RelayServer.h"
#include "relay/TrustedProxy.h"
#include "tests/services/FakeHttpService.h"
#include "tests/support/ScopedEnvironment.h"

#include <QDir>
#include <QFile>
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

// A Token Factory that keeps every request waiting until told to answer. Only requests whose
// connection is still open count as waiting.
class HeldUpstream {
public:
    HeldUpstream() {
        m_server.setMissingHandler(
            [this](const QHttpServerRequest&, QHttpServerResponder&& responder) {
                m_held.emplace_back(responder.socket(), std::move(responder));
            });
        m_port = m_server.listen(QHostAddress::LocalHost);
    }

    QUrl url() const { return QUrl(QStringLiteral("http://127.0.0.1:%1/").arg(m_port)); }
    int waiting() const {
        return int(std::ranges::count_if(m_held, [](const auto& held) {
            return held.first && held.first->state() == QAbstractSocket::ConnectedState;
        }));
    }
    void answerAll(const QString& content) {
        for (auto& [socket, responder] : m_held)
            if (socket)
                responder.write(QJsonDocument(chatAnswer(content)));
        m_held.clear();
    }

private:
    QHttpServer m_server;
    quint16 m_port = 0;
    std::vector<std::pair<QPointer<QTcpSocket>, QHttpServerResponder>> m_held;
};

// A client that writes HTTP by hand, for what the app's client never sends.
class RawClient {
public:
    explicit RawClient(quint16 port, const QHostAddress& from = QHostAddress::LocalHost) {
        m_socket.bind(from);
        m_socket.connectToHost(QHostAddress::LocalHost, port);
    }

    void send(const QByteArray& bytes) { m_socket.write(bytes); }
    QByteArray received() {
        m_received += m_socket.readAll();
        return m_received;
    }
    // The status of the first answer once its status line is in.
    std::optional<int> status() {
        const QByteArray answer = received();
        if (!answer.startsWith("HTTP/1.1 ") || answer.size() < 12)
            return std::nullopt;
        return answer.mid(9, 3).toInt();
    }
    // The body of the first answer once it is in whole.
    std::optional<QByteArray> body() {
        const QByteArray answer = received();
        const qsizetype headEnd = answer.indexOf("\r\n\r\n");
        const QRegularExpression length("\r\nContent-Length: (\\d+)\r\n",
                                        QRegularExpression::CaseInsensitiveOption);
        const auto match = length.match(QString::fromLatin1(answer.left(headEnd + 2)));
        if (headEnd < 0 || !match.hasMatch() ||
            answer.size() < headEnd + 4 + match.captured(1).toLongLong())
            return std::nullopt;
        return answer.mid(headEnd + 4, match.captured(1).toLongLong());
    }
    bool isClosed() const { return m_socket.state() == QAbstractSocket::UnconnectedState; }
    bool isConnected() const { return m_socket.state() == QAbstractSocket::ConnectedState; }

private:
    QTcpSocket m_socket;
    QByteArray m_received;
};

QByteArray rawPost(const QByteArray& body, const QByteArray& headers = "X-Real-IP: 192.0.2.1\r\n") {
    return "POST /v1/complete HTTP/1.1\r\nHost: relay\r\nContent-Type: application/json\r\n" +
           headers + "Content-Length: " + QByteArray::number(body.size()) + "\r\n\r\n" + body;
}

const QByteArray rawHealth = "GET /healthz HTTP/1.1\r\nHost: relay\r\n\r\n";

} // namespace

Q_DECLARE_METATYPE(QList<Ask>)
Q_DECLARE_METATYPE(RelayResponse)

class RelayTest : public QObject {
    Q_OBJECT

    std::unique_ptr<FakeHttpService> m_upstream;
    std::unique_ptr<RelayServer> m_relay;
    quint16 m_port = 0;
    HttpTransport m_client;

    void startRelay(const QUrl& upstream, const RelayLimits& limits = {},
                    const TrustedProxy& proxy = {}) {
        m_relay = std::make_unique<RelayServer>(upstream, key, limits, proxy);
        m_port = m_relay->listen(QHostAddress::LocalHost, 0);
        QVERIFY(m_port != 0);
    }

    QCoro::Task<HttpTransport::Answer> send(QByteArray body, QByteArray client = {},
                                            QByteArray method = "POST",
                                            QString path = "/v1/complete") {
        QNetworkRequest request(
            QUrl(QStringLiteral("http://127.0.0.1:%1%2").arg(m_port).arg(path)));
        request.setHeader(QNetworkRequest::ContentTypeHeader, "application/json");
        // Every peer here is loopback, which the relay takes for its proxy.
        request.setRawHeader("X-Real-IP", client.isEmpty() ? "192.0.2.1" : client);
        return m_client.send(request, method, body, 1024 * 1024);
    }

    // The status of the answer to `request` from a client at `from`, 0 when none arrives whole.
    int statusOf(const QByteArray& request, const QHostAddress& from = QHostAddress::LocalHost) {
        RawClient client(m_port, from);
        client.send(request);
        return QTest::qWaitFor([&] { return client.body().has_value(); }, 10'000)
                   ? client.status().value_or(0)
                   : 0;
    }

    bool answersHealth(const QHostAddress& from = QHostAddress::LocalHost) {
        RawClient client(m_port, from);
        client.send(rawHealth);
        return QTest::qWaitFor([&] { return client.body().has_value(); }, 10'000) &&
               client.status() == 200;
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

    // Starts the real executable against `upstream` with `environment` and `arguments`, in a
    // folder without an .env.local file; returns the port it listens on.
    quint16 startExecutable(QProcess& relay, const QUrl& upstream, QByteArray& log,
                            QProcessEnvironment environment, const QStringList& arguments = {}) {
        static const QTemporaryDir withoutEnvFile;
        relay.setWorkingDirectory(withoutEnvFile.path());
        relay.setProcessEnvironment(environment);
        relay.start(RELAYO_RELAY_EXECUTABLE,
                    QStringList{"--listen", "127.0.0.1:0", "--upstream", upstream.toString()} +
                        arguments);
        const QRegularExpression listening("listening on port (\\d+)");
        if (!QTest::qWaitFor(
                [&] { return listening.match(log += relay.readAllStandardError()).hasMatch(); },
                30'000))
            return 0;
        return listening.match(log).captured(1).toUShort();
    }

    // `count` clients, each named by the proxy as another address, ask for a translation.
    std::vector<std::unique_ptr<RawClient>> askFromClients(int count) const {
        std::vector<std::unique_ptr<RawClient>> clients;
        for (int index = 1; index <= count; ++index) {
            clients.push_back(std::make_unique<RawClient>(m_port));
            clients.back()->send(
                rawPost(relayBody("en-ko", "Hi"),
                        "X-Real-IP: 192.0.2." + QByteArray::number(index) + "\r\n"));
        }
        return clients;
    }

    static QProcessEnvironment withKey() {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("NEBIUS_TOKEN_FACTORY_KEY", key);
        return environment;
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

    // A client that leaves while its translation waits upstream: the call upstream is cancelled
    // and counted in the log, and the relay goes on serving. Three times, since a write through a
    // freed socket need not crash at once.
    void survivesClientsThatLeave_data() {
        QTest::addColumn<QByteArray>("then"); // sent once the call waits upstream
        QTest::newRow("hangs up during the call") << QByteArray();
        QTest::newRow("pipelines a health check, hangs up after its answer") << rawHealth;
    }
    void survivesClientsThatLeave() {
        QFETCH(QByteArray, then);
        HeldUpstream upstream;
        startRelay(upstream.url());
        for (int hangUps = 1; hangUps <= 3; ++hangUps) {
            QTest::ignoreMessage(QtInfoMsg,
                                 QRegularExpression(QStringLiteral("hang-ups=%1$").arg(hangUps)));
            {
                RawClient client(m_port);
                client.send(rawPost(relayBody("en-ko", "Hi")));
                QVERIFY2(QTest::qWaitFor([&] { return upstream.waiting() == 1; }, 10'000),
                         "the translation reaches upstream");
                client.send(then);
                if (!then.isEmpty())
                    QVERIFY2(QTest::qWaitFor([&] { return client.status().has_value(); }, 10'000),
                             "an answer arrives before the client leaves");
            }
            const bool cancelled = QTest::qWaitFor([&] { return upstream.waiting() == 0; }, 10'000);
            upstream.answerAll(QStringLiteral("late"));
            QVERIFY(answersHealth());
            QVERIFY2(cancelled, "the call upstream ends with its client");
        }
    }

    // Requests whose framing two HTTP parsers could read differently, upgrades and oversized heads
    // are refused before any handler runs; the relay serves the next client.
    void refusesAmbiguousRequests_data() {
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<int>("status");
        const QByteArray body = relayBody("en-ko", "Hi");
        const QByteArray head = "POST /v1/complete HTTP/1.1\r\nHost: relay\r\n";
        const QByteArray length = "Content-Length: " + QByteArray::number(body.size()) + "\r\n";
        QTest::newRow("pipelined in one write") << rawPost(body) + rawHealth << 400;
        QTest::newRow("websocket upgrade")
            << rawPost(body, "Connection: Upgrade\r\nUpgrade: websocket\r\n") << 400;
        QTest::newRow("upgrade without the connection token")
            << rawPost(body, "Upgrade: h2c\r\n") << 400;
        QTest::newRow("xchunked") << head +
                                         "Transfer-Encoding: xchunked\r\n\r\n2\r\n{}\r\n0\r\n\r\n"
                                  << 400;
        QTest::newRow("chunked") << head + "Transfer-Encoding: chunked\r\n\r\n2\r\n{}\r\n0\r\n\r\n"
                                 << 400;
        QTest::newRow("chunked and a length")
            << head + "Transfer-Encoding: chunked\r\n" + length + "\r\n" + body << 400;
        QTest::newRow("length 2^64-1")
            << head + "Content-Length: 18446744073709551615\r\n\r\n" + body << 413;
        QTest::newRow("length with a sign") << head + "Content-Length: +27\r\n\r\n" + body << 400;
        QTest::newRow("length as a list") << head + "Content-Length: 27, 27\r\n\r\n" + body << 400;
        QTest::newRow("conflicting lengths")
            << head + length + "Content-Length: 2\r\n\r\n" + body << 400;
        QTest::newRow("length over the bound") << head + "Content-Length: 16385\r\n\r\n" << 413;
        QTest::newRow("folded header line")
            << head + length + "X-Real-IP: 192.0.2.1\r\n 192.0.2.2\r\n\r\n" + body << 400;
        QTest::newRow("bare line feeds")
            << QByteArray("GET /healthz HTTP/1.1\nHost: relay\n\n") << 400;
        QTest::newRow("space before the colon")
            << head + "Content-Length : 27\r\n\r\n" + body << 400;
        QTest::newRow("control character")
            << head + "X-A: \x01\r\n" + length + "\r\n" + body << 400;
        QTest::newRow("CONNECT") << QByteArray("CONNECT relay:443 HTTP/1.1\r\nHost: relay\r\n\r\n")
                                 << 400;
        QTest::newRow("HTTP/2 preface") << QByteArray("PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n") << 400;
        QTest::newRow("oversized head")
            << head + "X-Pad: " + QByteArray(9000, 'a') + "\r\n" + length + "\r\n" + body << 431;
    }
    void refusesAmbiguousRequests() {
        QFETCH(QByteArray, request);
        QFETCH(int, status);
        RawClient client(m_port);
        client.send(request);
        QVERIFY2(QTest::qWaitFor([&] { return client.status().has_value(); }, 10'000),
                 "an answer arrives");
        QCOMPARE(*client.status(), status);
        QVERIFY2(QTest::qWaitFor([&] { return client.isClosed(); }, 15'000),
                 "the relay closes the connection");
        QVERIFY(answersHealth());
        QCOMPARE(m_upstream->requests().size(), 0);
    }

    // From the trusted proxy (by default any loopback peer), X-Real-IP must name one valid
    // client.
    void needsTheClientNamedByTheProxy_data() {
        QTest::addColumn<QByteArray>("headers");
        QTest::addColumn<int>("status");
        QTest::newRow("named") << QByteArray("X-Real-IP: 2001:db8::7\r\n") << 200;
        QTest::newRow("missing") << QByteArray() << 400;
        QTest::newRow("empty") << QByteArray("X-Real-IP:\r\n") << 400;
        QTest::newRow("invalid") << QByteArray("X-Real-IP: 192.0.2.300\r\n") << 400;
        QTest::newRow("a list") << QByteArray("X-Real-IP: 192.0.2.1, 192.0.2.2\r\n") << 400;
        QTest::newRow("repeated") << QByteArray("X-Real-IP: 192.0.2.1\r\nx-real-ip: 192.0.2.2\r\n")
                                  << 400;
    }
    void needsTheClientNamedByTheProxy() {
        QFETCH(QByteArray, headers);
        QFETCH(int, status);
        QCOMPARE(statusOf(rawPost(relayBody("en-ko", "Hi"), headers)), status);
    }

    // The operator names the proxy; from any other peer X-Real-IP is ignored and the peer is the
    // client.
    void ignoresClientNamesFromOtherPeers() {
        RelayLimits limits;
        limits.burstRequests = 1;
        limits.requestsPerMinute = 1;
        const QHostAddress proxy("127.0.0.2");
        startRelay(m_upstream->url(), limits, TrustedProxy(proxy));
        const QByteArray body = relayBody("en-ko", "Hi");
        QCOMPARE(statusOf(rawPost(body, "X-Real-IP: 192.0.2.1\r\n")), 200);
        QCOMPARE(statusOf(rawPost(body, "X-Real-IP: 192.0.2.2\r\n")), 429);
        QCOMPARE(statusOf(rawPost(body, "X-Real-IP: 192.0.2.3\r\n"), proxy), 200);
        QCOMPARE(statusOf(rawPost(body, "X-Real-IP: 192.0.2.3\r\n"), proxy), 429);
    }

    // One address holds only so many connections, and all of them only so many: idle ones from
    // one address leave room for others, and at the total bound the next waits until one closes.
    void boundsConnections() {
        RelayLimits limits;
        limits.maxConnectionsPerAddress = 4;
        limits.maxConnections = 6;
        startRelay(m_upstream->url(), limits, TrustedProxy(QHostAddress("127.0.0.9")));
        std::vector<std::unique_ptr<RawClient>> idle;
        for (int index = 0; index < 10; ++index)
            idle.push_back(std::make_unique<RawClient>(m_port));
        const auto count = [&](auto state) { return std::ranges::count_if(idle, state); };
        QVERIFY2(QTest::qWaitFor([&] { return count(&RawClient::isClosed) == 6; }, 10'000),
                 "all but four connections from one address are closed");
        QCOMPARE(count(&RawClient::isConnected), 4);
        QVERIFY(answersHealth(QHostAddress("127.0.0.2")));

        const QHostAddress other("127.0.0.3");
        idle.push_back(std::make_unique<RawClient>(m_port, other));
        idle.push_back(std::make_unique<RawClient>(m_port, other));
        RawClient waiting(m_port, QHostAddress("127.0.0.4"));
        waiting.send(rawHealth);
        QVERIFY(!QTest::qWaitFor([&] { return waiting.body().has_value(); }, 500));
        idle.front().reset();
        QVERIFY2(QTest::qWaitFor([&] { return waiting.body().has_value(); }, 10'000),
                 "the waiting connection is served once another closes");
    }

    // A client that is slow with a request's head or body, or idle between requests, is cut off.
    void timesOutSlowClients_data() {
        QTest::addColumn<QByteArray>("sent");
        const QByteArray post = rawPost(relayBody("en-ko", "Hi"));
        QTest::newRow("idle") << QByteArray();
        QTest::newRow("idle after an answer") << rawHealth;
        QTest::newRow("slow head") << post.first(30);
        QTest::newRow("slow body") << post.chopped(5);
    }
    void timesOutSlowClients() {
        QFETCH(QByteArray, sent);
        RelayLimits limits;
        limits.headTimeout = limits.bodyTimeout = limits.idleTimeout =
            std::chrono::milliseconds(300);
        startRelay(m_upstream->url(), limits);
        RawClient client(m_port);
        client.send(sent);
        QVERIFY2(QTest::qWaitFor([&] { return client.isClosed(); }, 10'000),
                 "the relay closes the connection");
        QCOMPARE(m_upstream->requests().size(), 0);
    }

    // Every admitted call runs upstream at once, beyond the six connections that Qt opens to one
    // host.
    void runsUpstreamCallsConcurrently() {
        HeldUpstream upstream;
        RelayLimits limits;
        startRelay(upstream.url(), limits);
        const auto clients = askFromClients(limits.maxUpstreamCalls);
        QVERIFY2(
            QTest::qWaitFor([&] { return upstream.waiting() == limits.maxUpstreamCalls; }, 20'000),
            qPrintable(QStringLiteral("%1 calls wait upstream").arg(upstream.waiting())));
        upstream.answerAll(QStringLiteral("번역"));
        QVERIFY2(QTest::qWaitFor(
                     [&] {
                         return std::ranges::all_of(
                             clients, [](auto& c) { return c->status().has_value(); });
                     },
                     20'000),
                 "every client has its answer");
        for (auto& client : clients)
            QCOMPARE(*client->status(), 200);
    }

    // SIGTERM with answers in flight: each reaches its client whole before the relay exits.
    void deliversTheLastAnswersOnTermination() {
        HeldUpstream upstream;
        QProcess relay;
        QByteArray log;
        m_port = startExecutable(relay, upstream.url(), log, withKey());
        QVERIFY(m_port != 0);
        const auto clients = askFromClients(4);
        QVERIFY2(QTest::qWaitFor([&] { return upstream.waiting() == 4; }, 30'000),
                 "the calls wait upstream");
        relay.terminate();
        QVERIFY2(
            QTest::qWaitFor(
                [&] { return (log += relay.readAllStandardError()).contains("shutting down"); },
                30'000),
            "the relay starts shutting down");
        const QString longTranslation(60'000, u'가');
        upstream.answerAll(longTranslation);
        // The held answers go out through this process's event loop, which must keep running.
        QVERIFY2(QTest::qWaitFor([&] { return relay.state() == QProcess::NotRunning; }, 30'000),
                 "the relay exits");
        QVERIFY(relay.exitStatus() == QProcess::NormalExit && relay.exitCode() == 0);
        for (auto& client : clients) {
            QVERIFY2(QTest::qWaitFor([&] { return client->body().has_value(); }, 10'000),
                     "the answer arrives whole");
            QCOMPARE(QJsonDocument::fromJson(*client->body())["content"].toString(),
                     longTranslation);
        }
    }

    // Under systemd the key comes as a credential, ahead of the environment; with a proxy named,
    // the loopback client is itself the client.
    void readsTheKeyFromItsCredential() {
        QTemporaryDir credentials;
        QFile credential(credentials.filePath("token-factory-key"));
        QVERIFY(credential.open(QIODevice::WriteOnly) && credential.write(key.toUtf8() + "\n"));
        credential.close();
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("NEBIUS_TOKEN_FACTORY_KEY", "sk-not-this-one");
        environment.insert("CREDENTIALS_DIRECTORY", credentials.path());
        QProcess relay;
        QByteArray log;
        m_port = startExecutable(relay, m_upstream->url("/v1/chat/completions"), log, environment,
                                 {"--trust-proxy", "127.0.0.9"});
        QVERIFY2(m_port != 0, log.constData());
        QCOMPARE(statusOf(rawPost(relayBody("en-ko", "Hi"), {})), 200);
        verifyAskedUpstream(QJsonDocument::fromJson(relayBody("en-ko", "Hi")).object());
        relay.terminate();
        QVERIFY(relay.waitForFinished(30'000));
    }

    // A team's own OpenAI-compatible server (vLLM, for one) needs no key: the relay passes the
    // model it is told through and sends no Authorization header.
    void translatesThroughAnyOpenAICompatibleServer() {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.remove("NEBIUS_TOKEN_FACTORY_KEY");
        environment.remove("CREDENTIALS_DIRECTORY");
        QProcess relay;
        QByteArray log;
        m_port = startExecutable(
            relay, m_upstream->url("/v1/chat/completions"), log, environment,
            {"--model", "meta-llama/Llama-3.1-8B-Instruct", "--trust-proxy", "127.0.0.9"});
        QVERIFY2(m_port != 0, log.constData());
        QCOMPARE(statusOf(rawPost(relayBody("ko-en", "네"), {})), 200);
        QCOMPARE(m_upstream->requests().size(), 1);
        const auto& upstream = m_upstream->requests()[0];
        QVERIFY(!upstream.headers.contains("authorization"));
        QCOMPARE(upstream.json().value("model").toString(),
                 QStringLiteral("meta-llama/Llama-3.1-8B-Instruct"));
        relay.terminate();
        QVERIFY(relay.waitForFinished(30'000));

        // Token Factory itself still wants the key.
        QProcess withoutKey;
        const QTemporaryDir withoutEnvFile;
        withoutKey.setWorkingDirectory(withoutEnvFile.path());
        withoutKey.setProcessEnvironment(environment);
        withoutKey.start(RELAYO_RELAY_EXECUTABLE, {"--listen", "127.0.0.1:0"});
        QVERIFY(withoutKey.waitForFinished(30'000));
        QCOMPARE(withoutKey.exitCode(), 2);
    }

    // The app's client through the real executable, which takes its key from the environment and
    // a free port, and stops on SIGTERM. Its log has counts and timings only.
    void appTranslatesThroughTheExecutable() {
        const QString caption = QStringLiteral("Confidential caption words");
        m_upstream->answerJson(200, chatAnswer(QStringLiteral("기밀 번역")));
        QProcess relay;
        QByteArray log;
        // The app asks directly, with no proxy in front.
        m_port = startExecutable(relay, m_upstream->url("/v1/chat/completions"), log, withKey(),
                                 {"--trust-proxy", "127.0.0.9"});
        QVERIFY(m_port != 0);

        ScopedEnvironment environment;
        environment.unset("NEBIUS_TOKEN_FACTORY_KEY");
        QTemporaryDir withoutEnvFile;
        QVERIFY(QDir::setCurrent(withoutEnvFile.path()));
        NebiusClient client;
        TranslationSettings settings;
        settings.service = TranslationSettings::Service::relay;
        settings.relayUrl = QStringLiteral("http://127.0.0.1:%1/v1/complete").arg(m_port);
        client.useSettings(settings);
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
