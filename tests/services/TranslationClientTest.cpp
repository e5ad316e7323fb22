#include "app/services/network/NebiusClient.h"
#include "app/services/network/NebiusError.h"
#include "app/translation/ChatCompletion.h"
#include "tests/services/ChatAnswers.h"
#include "tests/services/FakeHttpService.h"
#include "tests/support/ScopedEnvironment.h"
#include "tests/support/WriteFile.h"

#include <QDir>
#include <QTemporaryDir>
#include <QTest>

using namespace std::chrono_literals;
using namespace Qt::StringLiterals;

namespace {

using Service = TranslationSettings::Service;

const char* const environmentNames[] = {"NEBIUS_TOKEN_FACTORY_KEY", "RLY_TRANSLATION_URL",
                                        "RLY_TRANSLATION_MODEL", "RLY_TRANSLATION_KEY",
                                        "RLY_RELAY_URL"};

enum class Answerer { tokenFactory, server, environmentServer, relay };

} // namespace

Q_DECLARE_METATYPE(Answerer)
Q_DECLARE_METATYPE(Service)

// The translation client's services against loopback chat-completions servers and relays:
// which one a translation goes to, streamed and whole answers, and every bad answer.
class TranslationClientTest : public QObject {
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_folder;
    std::unique_ptr<FakeHttpService> m_tokenFactory, m_server, m_environmentServer, m_relay;
    std::unique_ptr<ScopedEnvironment> m_environment;
    std::unique_ptr<NebiusClient> m_client;
    QStringList m_partials;

    // The client asks the loopback server, with `key` when one is given.
    void makeClient(NebiusClient::Limits limits = {}, const QString& key = {}) {
        m_client =
            std::make_unique<NebiusClient>(m_tokenFactory->url("/v1/chat/completions"), limits);
        TranslationSettings settings;
        settings.service = Service::openAICompatible;
        settings.serverUrl = m_server->url("/v1").toString();
        settings.serverModel = QStringLiteral("local-model");
        settings.serverKey = key;
        m_client->useSettings(settings);
    }

    Outcome<QString> toKorean(const QString& text, Cancellation cancellation = {}) {
        return QCoro::waitFor(outcomeOf(m_client->translateToKorean(
            text, cancellation, [this](const QString& partial) { m_partials << partial; })));
    }

    FakeHttpService& fake(Answerer answerer) const {
        switch (answerer) {
        case Answerer::tokenFactory:
            return *m_tokenFactory;
        case Answerer::server:
            return *m_server;
        case Answerer::environmentServer:
            return *m_environmentServer;
        case Answerer::relay:
            return *m_relay;
        }
        Q_UNREACHABLE();
    }

private slots:
    // No key, no variable, an empty working folder; the settings name the loopback server.
    void init() {
        m_environment = std::make_unique<ScopedEnvironment>();
        for (const char* name : environmentNames)
            m_environment->unset(name);
        m_folder = std::make_unique<QTemporaryDir>();
        QVERIFY(QDir::setCurrent(m_folder->path()));
        m_tokenFactory = std::make_unique<FakeHttpService>();
        m_server = std::make_unique<FakeHttpService>();
        m_environmentServer = std::make_unique<FakeHttpService>();
        m_relay = std::make_unique<FakeHttpService>();
        m_partials.clear();
        makeClient();
    }

    void cleanup() { m_environment.reset(); }

    void environmentWinsOverSettings_data() {
        QTest::addColumn<Service>("service");
        QTest::addColumn<QList<QByteArray>>("environment"); // name=value
        QTest::addColumn<QByteArray>("envFile");
        QTest::addColumn<Answerer>("answerer");
        QTest::addColumn<QByteArray>("authorization");
        QTest::newRow("server from the settings, no key")
            << Service::openAICompatible << QList<QByteArray>() << QByteArray() << Answerer::server
            << QByteArray();
        QTest::newRow("server from the environment")
            << Service::openAICompatible
            << QList<QByteArray>{"RLY_TRANSLATION_URL=ENV/v1/", "RLY_TRANSLATION_MODEL=env-model",
                                 "RLY_TRANSLATION_KEY=env-key", "NEBIUS_TOKEN_FACTORY_KEY=tf"}
            << QByteArray() << Answerer::environmentServer << QByteArray("Bearer env-key");
        QTest::newRow("Token Factory key in the environment")
            << Service::tokenFactory << QList<QByteArray>{"NEBIUS_TOKEN_FACTORY_KEY=tf-env"}
            << QByteArray() << Answerer::tokenFactory << QByteArray("Bearer tf-env");
        QTest::newRow("Token Factory key in .env.local")
            << Service::relay << QList<QByteArray>()
            << QByteArray("NEBIUS_TOKEN_FACTORY_KEY=tf-file\n") << Answerer::tokenFactory
            << QByteArray("Bearer tf-file");
        QTest::newRow("Token Factory key from the settings")
            << Service::tokenFactory << QList<QByteArray>() << QByteArray()
            << Answerer::tokenFactory << QByteArray("Bearer tf-setting");
        QTest::newRow("relay from the environment")
            << Service::openAICompatible << QList<QByteArray>{"RLY_RELAY_URL=RELAY/v1/complete"}
            << QByteArray() << Answerer::relay << QByteArray();
    }

    // Each service answers with its own name, so the one asked shows in the result.
    void environmentWinsOverSettings() {
        QFETCH(Service, service);
        QFETCH(QList<QByteArray>, environment);
        QFETCH(QByteArray, envFile);
        QFETCH(Answerer, answerer);
        QFETCH(QByteArray, authorization);
        for (const QByteArray& assignment : environment) {
            const qsizetype equals = assignment.indexOf('=');
            QByteArray value = assignment.mid(equals + 1);
            value.replace("ENV", m_environmentServer->url().toEncoded());
            value.replace("RELAY", m_relay->url().toEncoded());
            m_environment->set(assignment.left(equals).constData(), value);
        }
        writeFile(m_folder->filePath(".env.local"), envFile);
        TranslationSettings settings;
        settings.service = service;
        settings.tokenFactoryKey = QStringLiteral("tf-setting");
        settings.serverUrl = m_server->url("/v1").toString();
        settings.relayUrl = m_server->url("/v1/complete").toString();
        m_client->useSettings(settings);
        for (const Answerer each :
             {Answerer::tokenFactory, Answerer::server, Answerer::environmentServer})
            fake(each).answerJson(200, ChatAnswers::whole(QString::number(int(each))));
        m_relay->answerJson(200, {{"content", QString::number(int(Answerer::relay))}});

        QVERIFY(m_client->hasService());
        QCOMPARE(toKorean("Hi").value, QString::number(int(answerer)));
        const FakeHttpService::Request request = fake(answerer).requests().value(0);
        QCOMPARE(request.headers.value("authorization"), authorization);
        if (answerer == Answerer::relay)
            return;
        QCOMPARE(request.path, QStringLiteral("/v1/chat/completions"));
        QCOMPARE(request.json().value("model").toString(), answerer == Answerer::environmentServer
                                                               ? u"env-model"_s
                                                               : ChatCompletion::translationModel);
    }

    void withoutAServiceNothingIsSent() {
        m_client->useSettings({});
        QVERIFY(!m_client->hasService());
        QCOMPARE(toKorean("Hi").error, NebiusError::noService().description());
        QCOMPARE(m_server->requests().size() + m_tokenFactory->requests().size() +
                     m_relay->requests().size(),
                 0);
    }

    // The same prompt, model and sampling as Token Factory, asked to stream; the text shows as
    // it grows and ends as the whole answer would.
    void streamedAnswerEqualsTheWholeOne() {
        m_server->answerStream(ChatAnswers::streamed({" 회의는", " 세 시에", " 시작해요.\n"}));
        QCOMPARE(toKorean("The meeting starts at three.").value, u"회의는 세 시에 시작해요."_s);
        // However the network cut the stream, each partial text grows the one before.
        QVERIFY(!m_partials.isEmpty());
        QCOMPARE(m_partials.last(), u"회의는 세 시에 시작해요."_s);
        for (qsizetype at = 1; at < m_partials.size(); ++at)
            QVERIFY(m_partials[at].startsWith(m_partials[at - 1]));
        const QJsonObject body = m_server->requests().value(0).json();
        QCOMPARE(body.value("stream"), QJsonValue(true));
        QCOMPARE(body.value("model"), QJsonValue("local-model"));
        QCOMPARE(body.value("temperature").toDouble(), 0.0);
        QCOMPARE(body.value("max_tokens").toInt(), 600);
        QCOMPARE(body.value("messages").toArray().at(0)["content"].toString(),
                 systemPrompt(TranslationDirection::englishToKorean));
        QVERIFY(!m_server->requests().value(0).headers.contains("authorization"));

        // A server that keeps the stream open after its end is hung up on.
        m_server->answerStream(ChatAnswers::streamed({u"네"_s}), 0ms, 10ms, true);
        QCOMPARE(toKorean("Yes").value, u"네"_s);
        QTRY_COMPARE_WITH_TIMEOUT(m_server->openStreams(), 0, 30'000);

        m_server->answerJson(200, ChatAnswers::whole(u" 회의는 세 시에 시작해요.\n"_s));
        QCOMPARE(toKorean("The meeting starts at three.").value, u"회의는 세 시에 시작해요."_s);
    }

    void badAnswers_data() {
        QTest::addColumn<std::function<void(FakeHttpService&)>>("answer");
        QTest::addColumn<QString>("expected");
        using Answer = std::function<void(FakeHttpService&)>;
        QTest::newRow("not JSON") << Answer([](FakeHttpService& s) {
            s.answer(200, "<html>busy</html>", {{"Content-Type", "text/html"}});
        }) << NebiusError::notJson().description();
        QTest::newRow("event that is not JSON")
            << Answer([](FakeHttpService& s) { s.answerStream({"data: {oops\n\n"}); })
            << NebiusError::notJson().description();
        QTest::newRow("stream cut short")
            << Answer([](FakeHttpService& s) { s.answerStream({ChatAnswers::delta(u"회의는"_s)}); })
            << NebiusError::cutShort().description();
        QTest::newRow("text that never ends") << Answer([](FakeHttpService& s) {
            s.answerStream({ChatAnswers::delta(QString(100, u'가'))}, 0ms, 1ms, true);
        }) << NebiusError::tooLong().description();
        QTest::newRow("stream that never ends")
            << Answer([](FakeHttpService& s) { s.answerStream({": ping\n\n"}, 0ms, 20ms, true); })
            << NebiusError::timedOut(1).description();
        QTest::newRow("error inside the stream") << Answer([](FakeHttpService& s) {
            s.answerStream({"data: {\"error\":{\"message\":\"overloaded\"}}\n\n"});
        }) << u"overloaded"_s;
        QTest::newRow("unknown model") << Answer([](FakeHttpService& s) {
            s.answer(404, "{\"error\":{\"message\":\"The model 'local-model' does not exist.\"}}");
        }) << NebiusError::unknownModel("local-model").description();
        QTest::newRow("unknown model, Ollama's words") << Answer([](FakeHttpService& s) {
            s.answer(
                404,
                "{\"error\":{\"message\":\"model local-model not found, try pulling it first\"}}");
        }) << NebiusError::unknownModel("local-model").description();
        QTest::newRow("key refused")
            << Answer([](FakeHttpService& s) { s.answer(401, "invalid key sk-secret-1"); })
            << NebiusError::keyRefused().description();
        QTest::newRow("other failure, key masked")
            << Answer([](FakeHttpService& s) { s.answer(500, "upstream sk-secret-1 failed"); })
            << u"upstream •••• failed"_s;
    }

    // Each ends in its own Korean message, never carrying the key.
    void badAnswers() {
        QFETCH(std::function<void(FakeHttpService&)>, answer);
        QFETCH(QString, expected);
        makeClient({1024, 1s}, QStringLiteral("sk-secret-1"));
        answer(*m_server);
        QCOMPARE(toKorean("Hi").error, expected);
        QTRY_COMPARE_WITH_TIMEOUT(m_server->openStreams(), 0, 30'000);
    }

    // A redirect elsewhere would take the key along: it is not followed.
    void redirectToAnotherHostIsNotFollowed() {
        FakeHttpService elsewhere;
        makeClient({}, QStringLiteral("sk-secret-1"));
        m_server->answer(307, {},
                         {{"Location", elsewhere.url("/v1/chat/completions").toEncoded()}});
        QCOMPARE(toKorean("Hi").error, NebiusError::redirected().description());
        QCOMPARE(elsewhere.requests().size(), 0);
    }

    // Once cancelled, the stream is hung up and no more of it is shown.
    void cancellingInMidStreamStopsIt() {
        m_server->answerStream({ChatAnswers::delta(u"회의는"_s)}, 0ms, 10ms, true);
        Cancellation cancellation;
        auto task = outcomeOf(m_client->translateToKorean(
            "Hi", cancellation, [this](const QString& partial) { m_partials << partial; }));
        QTRY_VERIFY_WITH_TIMEOUT(m_partials.size() >= 2, 30'000);
        cancellation.cancel();
        const qsizetype shown = m_partials.size();
        QVERIFY(!QCoro::waitFor(task).error.isEmpty());
        QTRY_COMPARE_WITH_TIMEOUT(m_server->openStreams(), 0, 30'000);
        QCOMPARE(m_partials.size(), shown);
    }
};

QTEST_GUILESS_MAIN(TranslationClientTest)
#include "TranslationClientTest.moc"
