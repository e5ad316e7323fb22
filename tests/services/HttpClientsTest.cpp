#include "app/services/network/ElevenLabsClient.h"
#include "app/services/network/NebiusClient.h"
#include "tests/services/ChatAnswers.h"
#include "tests/services/FakeHttpService.h"
#include "tests/support/PrivateFile.h"
#include "tests/support/ScopedEnvironment.h"
#include "tests/support/WriteFile.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QTemporaryDir>
#include <QTest>

namespace {

enum class Service { tokenFactory, relay, elevenLabs };

} // namespace

Q_DECLARE_METATYPE(Service)

// The translation client (Token Factory with a key, else the relay chosen in the settings) and
// the voice client, each against loopback services.
class HttpClientsTest : public QObject {
    Q_OBJECT

    ScopedEnvironment m_environment;
    std::unique_ptr<QTemporaryDir> m_folder;
    std::unique_ptr<FakeHttpService> m_tokenFactory, m_relay, m_elevenLabs;
    std::unique_ptr<NebiusClient> m_nebius;
    std::unique_ptr<ElevenLabsClient> m_voices;

    std::unique_ptr<NebiusClient> relayClient(const QUrl& relay) const {
        auto client = std::make_unique<NebiusClient>(m_tokenFactory->url("/v1/chat/completions"));
        TranslationSettings settings;
        settings.service = TranslationSettings::Service::relay;
        settings.relayUrl = relay.toString();
        client->useSettings(settings);
        return client;
    }

    Outcome<QString> toKorean(const QString& text) {
        return QCoro::waitFor(outcomeOf(m_nebius->translateToKorean(text, {})));
    }

    Outcome<QUrl> synthesize(const QString& voiceID) {
        return QCoro::waitFor(outcomeOf(m_voices->synthesize("Hello.", voiceID, "key-123")));
    }

    Outcome<QList<ElevenLabsVoice>> voices() {
        return QCoro::waitFor(outcomeOf(m_voices->voices("key-123")));
    }

private slots:
    // Every test starts without a Token Factory key: no variable, an empty working folder.
    void init() {
        m_environment.unset("NEBIUS_TOKEN_FACTORY_KEY");
        m_folder = std::make_unique<QTemporaryDir>();
        QVERIFY(QDir::setCurrent(m_folder->path()));
        m_tokenFactory = std::make_unique<FakeHttpService>();
        m_relay = std::make_unique<FakeHttpService>();
        m_elevenLabs = std::make_unique<FakeHttpService>();
        m_nebius = relayClient(m_relay->url("/v1/complete"));
        m_voices = std::make_unique<ElevenLabsClient>(m_elevenLabs->url());
    }

    void withoutKeyOnlyKindAndTextGoToTheRelay() {
        m_relay->answerJson(200, {{"content", " 안녕하세요 \n"}});
        QCOMPARE(toKorean("Hello there").value, QStringLiteral("안녕하세요"));
        QCoro::waitFor(m_nebius->translateToEnglish("네"));
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

    // The request itself is the relay's too: its tests check it.
    void keyLookup() {
        QFETCH(QString, environment);
        QFETCH(QByteArray, envFile);
        QFETCH(QString, expectedKey);
        if (!environment.isNull())
            m_environment.set("NEBIUS_TOKEN_FACTORY_KEY", environment.toUtf8());
        writeFile(m_folder->filePath(".env.local"), envFile);
        m_tokenFactory->answerJson(200, ChatAnswers::whole(" a\n"));
        m_relay->answerJson(200, {{"content", "a"}});

        QCOMPARE(toKorean("Hi").value, QStringLiteral("a"));
        QCOMPARE(m_relay->requests().size(), expectedKey.isEmpty() ? 1 : 0);
        QCOMPARE(m_tokenFactory->requests().size(), expectedKey.isEmpty() ? 0 : 1);
        if (!expectedKey.isEmpty())
            QCOMPARE(m_tokenFactory->requests()[0].headers.value("authorization"),
                     "Bearer " + expectedKey.toUtf8());
    }

    // Only the first page, in the server's order, however long its voices' descriptions.
    void voicesAreTheFirstPageInServerOrder() {
        QJsonArray page{
            QJsonObject{{"voice_id", "b"}, {"name", "Zoe"}, {"category", QJsonValue::Null}},
            QJsonObject{{"voice_id", "a"}, {"name", "Adam"}, {"is_owner", true}, {"extra", 1}}};
        for (int index = 2; index < 100; ++index)
            page.append(QJsonObject{{"voice_id", QString::number(index)},
                                    {"name", "Long"},
                                    {"description", QString(20'000, u'd')}});
        m_elevenLabs->answerJson(200, {{"voices", page}, {"next_page_token", "t"}});
        const auto listed = voices().value.value_or(QList<ElevenLabsVoice>());
        QCOMPARE(listed.size(), 100);
        QCOMPARE(listed.first(2), (QList<ElevenLabsVoice>{{"b", "Zoe", std::nullopt, std::nullopt},
                                                          {"a", "Adam", std::nullopt, true}}));
        QCOMPARE(m_elevenLabs->requests().size(), 1);
        QCOMPARE(m_elevenLabs->requests()[0].headers.value("xi-api-key"), QByteArray("key-123"));
    }

    void failures_data() {
        QTest::addColumn<Service>("service");
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("expected");
        QTest::newRow("long error body is cut")
            << Service::tokenFactory << 500 << QByteArray(1000, 'x') << QString(400, u'x');
        QTest::newRow("key echoed in error is masked")
            << Service::tokenFactory << 500 << QByteArray("bad key secret-k1") << "bad key ••••";
        QTest::newRow("relay: 503 empty")
            << Service::relay << 503 << QByteArray()
            << "번역 서버가 응답하지 않습니다. 잠시 뒤 다시 시도해 주세요.";
        QTest::newRow("relay: over 1 MiB")
            << Service::relay << 200 << QByteArray(1024 * 1024 + 1, ' ')
            << "The service's answer was larger than 1 MiB and was refused.";
        QTest::newRow("detail message, key echoed in it masked")
            << Service::elevenLabs << 401
            << QByteArray(R"({"detail":{"message":"Key key-123 is invalid"}})")
            << "Key •••• is invalid";
        QTest::newRow("voice list that does not decode")
            << Service::elevenLabs << 200 << QByteArray(R"({"voices":[{"name":"No id"}]})")
            << "The data couldn’t be read because it isn’t in the correct format.";
    }

    void failures() {
        QFETCH(Service, service);
        QFETCH(int, status);
        QFETCH(QByteArray, body);
        QFETCH(QString, expected);
        if (service == Service::elevenLabs) {
            m_elevenLabs->answer(status, body);
            QCOMPARE(voices().error, expected);
            return;
        }
        if (service == Service::tokenFactory)
            m_environment.set("NEBIUS_TOKEN_FACTORY_KEY", "secret-k1");
        (service == Service::relay ? m_relay : m_tokenFactory)->answer(status, body);
        QCOMPARE(toKorean("Hi").error, expected);
    }

    void unreachableRelayAsksToCheckTheConnection() {
        m_nebius = relayClient(QUrl("http://127.0.0.1:1/v1/complete"));
        QCOMPARE(toKorean("Hi").error,
                 QStringLiteral("번역 서버에 연결하지 못했습니다. 인터넷 연결을 확인해 주세요."));
    }

    // Cancelled while waiting, the connection closes. Both services share the transport.
    void cancellingAbortsTheRequest() {
        FakeHttpService& service = *m_relay;
        service.hold();
        Cancellation cancellation;
        auto task = outcomeOf(m_nebius->translateToKorean("Hi", cancellation));
        QTRY_COMPARE_WITH_TIMEOUT(service.openHeldConnections(), 1, 30'000);
        cancellation.cancel();
        QVERIFY(!QCoro::waitFor(task).error.isEmpty());
        QTRY_COMPARE_WITH_TIMEOUT(service.openHeldConnections(), 0, 30'000);
    }

    void synthesisWritesTheAudioToANewPrivateFile() {
        const QByteArray audio(1001, 'm');
        m_elevenLabs->answer(200, audio, {{"Content-Type", "audio/mpeg"}});
        const auto first = synthesize("my voice/x");
        const auto second = synthesize("my voice/x");
        QVERIFY(first.value && second.value && *first.value != *second.value);
        const QFileInfo file(first.value->toLocalFile());
        verifyPrivateTemporaryFile(file.filePath(), "meeting-elevenlabs", "mp3");
        QFile written(file.filePath());
        QVERIFY(written.open(QIODevice::ReadOnly));
        QCOMPARE(written.readAll(), audio);

        const auto& request = m_elevenLabs->requests()[0];
        QCOMPARE(request.path, QStringLiteral("/v1/text-to-speech/my%20voice/x"));
        QCOMPARE(request.json().value("text"), QStringLiteral("Hello."));

        m_voices.reset();
        QVERIFY(!QFileInfo::exists(file.absolutePath()));
    }

    void audioOver50MiBIsRefusedUnread() {
        // Only the start arrives; the client gives up on the announcement and hangs up.
        m_elevenLabs->answerPartly(200, 50 * 1024 * 1024 + 1, QByteArray(64 * 1024, 'm'));
        QCOMPARE(synthesize("v").error,
                 "The service's answer was larger than 50 MiB and was refused.");
        QTRY_COMPARE_WITH_TIMEOUT(m_elevenLabs->openHeldConnections(), 0, 30'000);
    }
};

QTEST_GUILESS_MAIN(HttpClientsTest)
#include "HttpClientsTest.moc"
