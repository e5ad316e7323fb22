#include "app/workflow/AssistPhase.h"
#include "app/workflow/VoiceListResponse.h"

#include <QTest>

class RecordsTest : public QObject {
    Q_OBJECT

private slots:
    void phasesRoundTripThroughTheirExactRawValues() {
        for (AssistPhase phase : AssistPhases::all)
            QCOMPARE(AssistPhases::fromRawValue(AssistPhases::rawValue(phase)), phase);
        QVERIFY(!AssistPhases::fromRawValue(QStringLiteral("ready")));
        QVERIFY(!AssistPhases::fromRawValue(QStringLiteral("Ready ")));
    }

    // ElevenLabsClientTest decodes good lists; one bad voice fails the whole list.
    void voiceListFailsWholeOnAnyBadVoice_data() {
        QTest::addColumn<QByteArray>("body");
        QTest::newRow("no voices key") << QByteArray(R"({"items":[]})");
        QTest::newRow("voice not an object") << QByteArray(R"({"voices":["v"]})");
        QTest::newRow("numeric id") << QByteArray(R"({"voices":[{"voice_id":1,"name":"a"}]})");
        QTest::newRow("owner as string")
            << QByteArray(R"({"voices":[{"voice_id":"v","name":"a","is_owner":"yes"}]})");
        QTest::newRow("not json") << QByteArray("<html>");
    }
    void voiceListFailsWholeOnAnyBadVoice() {
        QFETCH(QByteArray, body);
        QVERIFY(!VoiceListResponse::fromJson(body));
        QVERIFY(VoiceListResponse::fromJson(R"({"voices":[]})"));
    }
};

QTEST_GUILESS_MAIN(RecordsTest)
#include "RecordsTest.moc"
