#include "app/services/network/ElevenLabsClient.h"
#include "tests/services/FakeHttpService.h"
#include "tests/support/PrivateFile.h"

#include <QJsonArray>
#include <QTest>

class ElevenLabsClientTest : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<FakeHttpService> m_service;
    std::unique_ptr<ElevenLabsClient> m_client;
    QStringList m_files;

    Outcome<QUrl> synthesize(const QString& voiceID = "voice1") {
        auto outcome =
            QCoro::waitFor(outcomeOf(m_client->synthesize("Hello.", voiceID, "key-123")));
        if (outcome.value)
            m_files.append(outcome.value->toLocalFile());
        return outcome;
    }

    Outcome<QList<ElevenLabsVoice>> voices() {
        return QCoro::waitFor(outcomeOf(m_client->voices("key-123")));
    }

private slots:
    void init() {
        m_service = std::make_unique<FakeHttpService>();
        m_client = std::make_unique<ElevenLabsClient>(m_service->url());
    }

    void cleanup() {
        for (const QString& file : std::exchange(m_files, {}))
            QFile::remove(file);
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
        const auto outcome = voices();
        QCOMPARE(outcome.error, QString());
        const QList<ElevenLabsVoice> expected{{"b", "Zoe", std::nullopt, std::nullopt},
                                              {"a", "Adam", std::nullopt, true}};
        QCOMPARE(*outcome.value, expected);

        QCOMPARE(m_service->requests().size(), 1);
        const auto& request = m_service->requests()[0];
        QCOMPARE(request.method, QByteArray("GET"));
        QCOMPARE(request.path, QStringLiteral("/v2/voices"));
        QCOMPARE(request.query,
                 "page_size=100&voice_type=non-community&sort=name&sort_direction=asc");
        QCOMPARE(request.headers.value("xi-api-key"), QByteArray("key-123"));
    }

    void failures_data() {
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("expected");

        QTest::newRow("401 detail message")
            << 401 << QByteArray(R"({"detail":{"status":"invalid_api_key","message":"Bad key."}})")
            << "Bad key.";
        QTest::newRow("500 HTML") << 500 << QByteArray("<html><body>oops</body></html>")
                                  << "ElevenLabs request failed (HTTP 500).";
        QTest::newRow("detail is a plain string")
            << 422 << QByteArray(R"({"detail":"nope"})") << "ElevenLabs request failed (HTTP 422).";
        QTest::newRow("key echoed in message is masked")
            << 401 << QByteArray(R"({"detail":{"message":"Key key-123 is invalid"}})")
            << "Key •••• is invalid";
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

    void synthesisWritesTheAudioToANewFile() {
        const QByteArray audio(4096, 'm');
        m_service->answer(200, audio, {{"Content-Type", "audio/mpeg"}});
        const auto first = synthesize("my voice/x");
        const auto second = synthesize("my voice/x");
        QCOMPARE(first.error, QString());
        QCOMPARE(second.error, QString());
        QVERIFY(*first.value != *second.value);

        const QFileInfo file(first.value->toLocalFile());
        verifyPrivateTemporaryFile(file.filePath(), "meeting-elevenlabs", "mp3");
        QFile written(file.filePath());
        QVERIFY(written.open(QIODevice::ReadOnly));
        QCOMPARE(written.readAll(), audio);

        const auto& request = m_service->requests()[0];
        QCOMPARE(request.method, QByteArray("POST"));
        QCOMPARE(request.path, QStringLiteral("/v1/text-to-speech/my%20voice/x"));
        QCOMPARE(request.query, QStringLiteral("output_format=mp3_44100_128"));
        QCOMPARE(request.headers.value("xi-api-key"), QByteArray("key-123"));
        QCOMPARE(request.headers.value("content-type"), QByteArray("application/json"));
        QCOMPARE(request.json().value("text"), QStringLiteral("Hello."));
        QCOMPARE(request.json().value("model_id"), QStringLiteral("eleven_flash_v2_5"));

        m_client.reset();
        QVERIFY(!file.exists());
        QVERIFY(!QFileInfo::exists(file.absolutePath()));
    }

    void shortAudioIsAnEmptyFile_data() {
        QTest::addColumn<int>("size");
        QTest::addColumn<bool>("accepted");
        QTest::newRow("empty") << 0 << false;
        QTest::newRow("1000 bytes") << 1000 << false;
        QTest::newRow("1001 bytes") << 1001 << true;
    }

    void shortAudioIsAnEmptyFile() {
        QFETCH(int, size);
        QFETCH(bool, accepted);
        m_service->answer(200, QByteArray(size, 'm'), {{"Content-Type", "audio/mpeg"}});
        const auto outcome = synthesize();
        QCOMPARE(outcome.value.has_value(), accepted);
        if (!accepted)
            QCOMPARE(outcome.error, QStringLiteral("ElevenLabs returned an empty audio file."));
    }

    void audioOver50MiBIsRefusedUnread() {
        // Only the start of the announced length arrives; the client gives up on
        // the announcement and closes the connection.
        m_service->answerPartly(200, 50 * 1024 * 1024 + 1, QByteArray(64 * 1024, 'm'));
        const auto outcome = synthesize();
        QCOMPARE(outcome.error, "The service's answer was larger than 50 MiB and was refused.");
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
