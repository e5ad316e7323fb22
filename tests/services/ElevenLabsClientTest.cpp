#include "app/services/network/ElevenLabsClient.h"
#include "tests/services/FakeHttpService.h"
#include "tests/support/PrivateFile.h"

#include <QJsonArray>
#include <QTest>

class ElevenLabsClientTest : public QObject {
    Q_OBJECT

    std::unique_ptr<FakeHttpService> m_service;
    std::unique_ptr<ElevenLabsClient> m_client;

    Outcome<QUrl> synthesize(const QString& voiceID = "voice1") {
        return QCoro::waitFor(outcomeOf(m_client->synthesize("Hello.", voiceID, "key-123")));
    }

    Outcome<QList<ElevenLabsVoice>> voices() {
        return QCoro::waitFor(outcomeOf(m_client->voices("key-123")));
    }

private slots:
    void init() {
        m_service = std::make_unique<FakeHttpService>();
        m_client = std::make_unique<ElevenLabsClient>(m_service->url());
    }

    void voicesAreTheFirstPageInServerOrder() {
        m_service->answerJson(
            200,
            {{"voices",
              QJsonArray{
                  QJsonObject{{"voice_id", "b"}, {"name", "Zoe"}, {"category", QJsonValue::Null}},
                  QJsonObject{
                      {"voice_id", "a"}, {"name", "Adam"}, {"is_owner", true}, {"extra", 1}}}},
             {"next_page_token", "t"}});
        const QList<ElevenLabsVoice> expected{{"b", "Zoe", std::nullopt, std::nullopt},
                                              {"a", "Adam", std::nullopt, true}};
        QCOMPARE(voices().value.value_or(QList<ElevenLabsVoice>()), expected);
        QCOMPARE(m_service->requests().size(), 1);
        const auto& request = m_service->requests()[0];
        QCOMPARE(request.path, QStringLiteral("/v2/voices"));
        QCOMPARE(request.headers.value("xi-api-key"), QByteArray("key-123"));
    }

    void failures_data() {
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("expected");
        QTest::newRow("detail message, key echoed in it masked")
            << 401 << QByteArray(R"({"detail":{"message":"Key key-123 is invalid"}})")
            << "Key •••• is invalid";
        QTest::newRow("500 HTML") << 500 << QByteArray("<html><body>oops</body></html>")
                                  << "ElevenLabs request failed (HTTP 500).";
        QTest::newRow("voice list that does not decode")
            << 200 << QByteArray(R"({"voices":[{"name":"No id"}]})")
            << "The data couldn’t be read because it isn’t in the correct format.";
        QTest::newRow("voice list over 8 MiB")
            << 200 << QByteArray(8 * 1024 * 1024 + 1, ' ')
            << "The service's answer was larger than 8 MiB and was refused.";
    }

    void failures() {
        QFETCH(int, status);
        QFETCH(QByteArray, body);
        QFETCH(QString, expected);
        m_service->answer(status, body);
        const auto outcome = voices();
        QVERIFY(!outcome.value);
        QCOMPARE(outcome.error, expected);
    }

    void aFullPageOfLongVoicesIsRead() {
        QJsonArray page;
        for (int index = 0; index < 100; ++index)
            page.append(QJsonObject{{"voice_id", QString::number(index)},
                                    {"name", QStringLiteral("Voice %1").arg(index)},
                                    {"description", QString(20'000, u'd')}});
        m_service->answerJson(200, {{"voices", page}});
        QCOMPARE(voices().value.value_or(QList<ElevenLabsVoice>()).size(), 100);
    }

    void synthesisWritesTheAudioToANewPrivateFile() {
        const QByteArray audio(1001, 'm');
        m_service->answer(200, audio, {{"Content-Type", "audio/mpeg"}});
        const auto first = synthesize("my voice/x");
        const auto second = synthesize("my voice/x");
        QCOMPARE(first.error, QString());
        QVERIFY(second.value && *first.value != *second.value);

        const QFileInfo file(first.value->toLocalFile());
        verifyPrivateTemporaryFile(file.filePath(), "meeting-elevenlabs", "mp3");
        QFile written(file.filePath());
        QVERIFY(written.open(QIODevice::ReadOnly));
        QCOMPARE(written.readAll(), audio);

        const auto& request = m_service->requests()[0];
        QCOMPARE(request.path, QStringLiteral("/v1/text-to-speech/my%20voice/x"));
        QCOMPARE(request.headers.value("xi-api-key"), QByteArray("key-123"));
        QCOMPARE(request.json().value("text"), QStringLiteral("Hello."));

        m_client.reset();
        QVERIFY(!QFileInfo::exists(file.absolutePath()));
    }

    void audioOf1000BytesIsAnEmptyFile() {
        m_service->answer(200, QByteArray(1000, 'm'), {{"Content-Type", "audio/mpeg"}});
        QCOMPARE(synthesize().error, "ElevenLabs returned an empty audio file.");
    }

    void audioOver50MiBIsRefusedUnread() {
        // Only the start of the announced length arrives; the client gives up on
        // the announcement and closes the connection.
        m_service->answerPartly(200, 50 * 1024 * 1024 + 1, QByteArray(64 * 1024, 'm'));
        QCOMPARE(synthesize().error,
                 "The service's answer was larger than 50 MiB and was refused.");
        QTRY_COMPARE_WITH_TIMEOUT(m_service->openHeldConnections(), 0, 30'000);
    }

    void keyIsNotFollowedToAnotherHost() {
        FakeHttpService elsewhere;
        m_service->answer(307, {}, {{"Location", elsewhere.url("/v2/voices").toEncoded()}});
        QVERIFY(!voices().value);
        QCOMPARE(elsewhere.requests().size(), 0);
    }
};

QTEST_GUILESS_MAIN(ElevenLabsClientTest)
#include "ElevenLabsClientTest.moc"
