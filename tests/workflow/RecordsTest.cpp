#include "app/workflow/AssistPhase.h"
#include "app/workflow/CaptureApplication.h"
#include "app/workflow/LocalVoicePreset.h"
#include "app/workflow/VoiceListResponse.h"

#include <QSet>
#include <QTest>

class RecordsTest : public QObject {
    Q_OBJECT

private slots:
    void phasesRoundTripThroughRawValues() {
        for (AssistPhase phase : AssistPhases::all)
            QCOMPARE(AssistPhases::fromRawValue(AssistPhases::rawValue(phase)), phase);
        QCOMPARE(AssistPhases::rawValue(AssistPhase::error), QStringLiteral("Needs attention"));
        QVERIFY(!AssistPhases::fromRawValue(QStringLiteral("ready")));
        QVERIFY(!AssistPhases::fromRawValue(QStringLiteral("Ready ")));
    }

    void captureApplicationsAreIdentifiedByProcessID() {
        const CaptureApplication a{42, QStringLiteral("Zoom"), QStringLiteral("zoom"), {}};
        const CaptureApplication b{42, QStringLiteral("Other"), QString(), {}};
        QCOMPARE(a, b);
        QCOMPARE(QSet<CaptureApplication>({a, b}).size(), 1);
    }

    void voiceListDecodesOptionalFields() {
        const auto list = VoiceListResponse::fromJson(
            R"({"voices":[{"voice_id":"v1","name":"Mina","category":null,"extra":3},
                          {"voice_id":"v2","name":"Joon","category":"cloned","is_owner":true}],
                "has_more":true})");
        QVERIFY(list);
        QCOMPARE(list->voices.size(), 2);
        QVERIFY(!list->voices[0].category && !list->voices[0].isOwner);
        QCOMPARE(list->voices[1].category, QStringLiteral("cloned"));
        QCOMPARE(list->voices[1].isOwner, true);
        QVERIFY(VoiceListResponse::fromJson(R"({"voices":[]})")->voices.isEmpty());
    }

    void voiceListFailsWholeOnAnyBadVoice_data() {
        QTest::addColumn<QByteArray>("body");
        QTest::newRow("no voices key") << QByteArray(R"({"items":[]})");
        QTest::newRow("missing name") << QByteArray(R"({"voices":[{"voice_id":"v"}]})");
        QTest::newRow("numeric id") << QByteArray(R"({"voices":[{"voice_id":1,"name":"a"}]})");
        QTest::newRow("owner as string")
            << QByteArray(R"({"voices":[{"voice_id":"v","name":"a","is_owner":"yes"}]})");
        QTest::newRow("not json") << QByteArray("<html>");
    }
    void voiceListFailsWholeOnAnyBadVoice() {
        QFETCH(QByteArray, body);
        QVERIFY(!VoiceListResponse::fromJson(body));
    }
};

QTEST_GUILESS_MAIN(RecordsTest)
#include "RecordsTest.moc"
