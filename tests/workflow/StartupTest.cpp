#include "app/workflow/ScreenshotMode.h"
#include "tests/workflow/WorkflowHarness.h"

#include <QTest>
#include <qcoro/qcorotask.h>

namespace {

CaptureApplication application(qint32 id, const QString& title, const QString& bundle = {}) {
    return {id, title, bundle, {}};
}

const CaptureApplication chrome = application(1, "Google Chrome", "com.google.Chrome");
const CaptureApplication zoom = application(2, "Zoom Workplace", "us.zoom.xos");
const CaptureApplication notes = application(3, "Notes", "org.gnome.Notes");

} // namespace

class StartupTest : public QObject {
    Q_OBJECT

private slots:
    // Making the controller starts nothing; the window's prepare does.
    void freshControllerStartsIdleWithTheFirstFreeVoice() {
        WorkflowHarness h;
        QCOMPARE(h->phase(), AssistPhase::idle);
        QVERIFY(h.meetingSpeech->startCount == 0 && h.keychain->loadCount == 0);
        QCOMPARE(h->voiceSource(), VoiceSource::local);
        QCOMPARE(h->activeVoiceName(), QStringLiteral("Samantha · Woman · US"));
        h->selectLocalVoice(QStringLiteral("alex"));
        QCOMPARE(h->selectedLocalVoiceID(), QStringLiteral("alex"));
        QCOMPARE(h->activeVoiceName(), QStringLiteral("Samantha · Woman · US"));
        h->selectVoiceSource(VoiceSource::elevenLabs);
        QCOMPARE(h->activeVoiceName(), QStringLiteral("Connect ElevenLabs"));
    }

    void storedVoiceChoiceIsRestored_data() {
        QTest::addColumn<QString>("source");
        QTest::addColumn<QString>("localVoice");
        QTest::addColumn<VoiceSource>("expectedSource");
        QTest::addColumn<QString>("expectedLocalVoice");
        // VoicesTest stores and restores the raw values.
        QTest::newRow("case name is not a raw value")
            << "elevenLabs"
            << "samantha" << VoiceSource::local << "samantha";
        QTest::newRow("plain full stop") << "ElevenLabs . Optional"
                                         << "" << VoiceSource::local << "samantha";
        QTest::newRow("unknown preset") << "Local voices · Free"
                                        << "alex" << VoiceSource::local << "samantha";
    }

    void storedVoiceChoiceIsRestored() {
        QFETCH(QString, source);
        QFETCH(QString, localVoice);
        QFETCH(VoiceSource, expectedSource);
        QFETCH(QString, expectedLocalVoice);
        WorkflowHarness h;
        h.storeSetting(QStringLiteral("voiceSource"), source);
        h.storeSetting(QStringLiteral("localVoiceID"), localVoice);

        h.relaunch();

        QCOMPARE(h->voiceSource(), expectedSource);
        QCOMPARE(h->selectedLocalVoiceID(), expectedLocalVoice);
    }

    void prepareLoadsVoicesApplicationsAndDevices() {
        WorkflowHarness h;
        h.keychain->storedKey = QStringLiteral("key");
        h.elevenLabs->voiceLists.answer({{QStringLiteral("v1"), QStringLiteral("Mina"), {}, {}}});
        h.capture->applications = {notes, zoom};

        QCoro::waitFor(h->prepare());

        QVERIFY(h->hasElevenLabsAPIKey());
        QCOMPARE(h->selectedElevenLabsVoiceID(), QStringLiteral("v1"));
        QCOMPARE(h->applications(), QList<CaptureApplication>({notes, zoom}));
        QCOMPARE(h->selectedApplicationID(), zoom.id);
        QCOMPARE(h.audioOutput->refreshCount, 1);
        QCOMPARE(h->phase(), AssistPhase::idle);
    }

    void refusedPermissionLoadsNoApplications() {
        WorkflowHarness h;
        h.koreanSpeech->permissionsGranted = false;
        h.keychain->storedKey = QStringLiteral("key");
        h.capture->applications = {chrome};

        QCoro::waitFor(h->prepare());

        QCOMPARE(h->phase(), AssistPhase::error);
        QCOMPARE(h->statusMessage(),
                 QStringLiteral("Microphone or speech recognition is not available."));
        QVERIFY(h->applications().isEmpty());
        QCOMPARE(h.audioOutput->refreshCount, 0);
        // The voices come before the permission question.
        QCOMPARE(h.elevenLabs->voiceListKeys, QStringList{QStringLiteral("key")});
    }

    void failedVoiceListAtStartupLeavesThePhase() {
        WorkflowHarness h;
        h.keychain->storedKey = QStringLiteral("key");
        h.elevenLabs->voiceLists.fail(QStringLiteral("ElevenLabs rejected the API key."));
        h.capture->applications = {chrome};

        QCoro::waitFor(h->prepare());

        QCOMPARE(h->elevenLabsStatus(), QStringLiteral("ElevenLabs rejected the API key."));
        QVERIFY(h->hasElevenLabsAPIKey());
        QCOMPARE(h->phase(), AssistPhase::idle);
        QCOMPARE(h->selectedApplicationID(), chrome.id);
    }

    void applicationIsChosenAutomatically_data() {
        QTest::addColumn<QList<CaptureApplication>>("listed");
        QTest::addColumn<std::optional<qint32>>("previous");
        QTest::addColumn<std::optional<qint32>>("chosen");
        const auto none = std::optional<qint32>();
        QTest::newRow("first of Chrome and Zoom wins")
            << QList{notes, zoom, chrome} << none << std::optional(zoom.id);
        QTest::newRow("Chrome by bundle in any case")
            << QList{notes, application(9, "Browser", "COM.GOOGLE.CHROME")} << none
            << std::optional(9);
        QTest::newRow("Zoom by title in any case")
            << QList{notes, application(8, "zoom.us")} << none << std::optional(8);
        QTest::newRow("title Chrome is not enough")
            << QList{application(7, "Chrome", "org.chromium")} << none << none;
        QTest::newRow("user's choice stays")
            << QList{chrome, notes} << std::optional(notes.id) << std::optional(notes.id);
        QTest::newRow("quit choice is replaced")
            << QList{notes, chrome} << std::optional(42) << std::optional(chrome.id);
        QTest::newRow("quit choice with nothing to pick")
            << QList{notes} << std::optional(42) << none;
    }

    void applicationIsChosenAutomatically() {
        QFETCH(QList<CaptureApplication>, listed);
        QFETCH(std::optional<qint32>, previous);
        QFETCH(std::optional<qint32>, chosen);
        WorkflowHarness h;
        h.capture->applications = listed;
        QCoro::waitFor(h->refreshApplications());
        h->setSelectedApplicationID(previous);

        QCoro::waitFor(h->refreshApplications());

        QCOMPARE(h->selectedApplicationID(), chosen);
    }

    void failedListingKeepsTheOldList() {
        WorkflowHarness h;
        h.capture->applications = {chrome};
        QCoro::waitFor(h->refreshApplications());
        h.capture->listings.fail(QStringLiteral("The user declined TCCs."));

        QCoro::waitFor(h->refreshApplications());

        QCOMPARE(h->phase(), AssistPhase::error);
        QCOMPARE(h->statusMessage(),
                 QStringLiteral("Connect to the sound server so the app can listen only to the "
                                "selected meeting app. The user declined TCCs."));
        QCOMPARE(h->applications(), QList{chrome});
        QCOMPARE(h->selectedApplicationID(), chrome.id);
    }

    void screenshotStepIsParsedStrictly_data() {
        QTest::addColumn<QByteArray>("value");
        QTest::addColumn<std::optional<qint64>>("step");
        const auto none = std::optional<qint64>();
        QTest::newRow("3") << QByteArray("3") << std::optional<qint64>(3);
        QTest::newRow("+3") << QByteArray("+3") << std::optional<qint64>(3);
        QTest::newRow("-2") << QByteArray("-2") << std::optional<qint64>(-2);
        QTest::newRow("leading space") << QByteArray(" 3") << none;
        QTest::newRow("trailing space") << QByteArray("3 ") << none;
        QTest::newRow("word") << QByteArray("three") << none;
        QTest::newRow("sign only") << QByteArray("+") << none;
        QTest::newRow("two signs") << QByteArray("+-3") << none;
        QTest::newRow("empty") << QByteArray() << none;
        QTest::newRow("largest") << QByteArray("9223372036854775807")
                                 << std::optional<qint64>(std::numeric_limits<qint64>::max());
        QTest::newRow("smallest") << QByteArray("-9223372036854775808")
                                  << std::optional<qint64>(std::numeric_limits<qint64>::min());
        QTest::newRow("overflow") << QByteArray("9223372036854775808") << none;
        QTest::newRow("arabic-indic digit") << QByteArray("\xd9\xa3") << none;
    }

    void screenshotStepIsParsedStrictly() {
        QFETCH(QByteArray, value);
        QFETCH(std::optional<qint64>, step);
        qputenv("RLY_SHOT", value);
        QCOMPARE(ScreenshotMode::step(), step);
        qunsetenv("RLY_SHOT");
        QCOMPARE(ScreenshotMode::step(), std::nullopt);
    }

    // The window tests show what steps 2 to 4 fill in.
    void screenshotTranslationFailureLeavesFieldsEmpty() {
        WorkflowHarness h;
        h.nebius->koreanAnswers.fail(QStringLiteral("offline"));
        h.nebius->englishAnswers.fail(QStringLiteral("offline"));

        QCoro::waitFor(h->applyScreenshotStep(4));

        QVERIFY(h->liveTranslation().isEmpty());
        QVERIFY(h->approvedText().isEmpty());
        QCOMPARE(h->phase(), AssistPhase::readyToSend);
    }

    void otherScreenshotStepsChangeNothing_data() {
        QTest::addColumn<qint64>("step");
        QTest::newRow("1") << qint64(1);
        QTest::newRow("5") << qint64(5);
        QTest::newRow("-3") << qint64(-3);
    }

    void otherScreenshotStepsChangeNothing() {
        QFETCH(qint64, step);
        WorkflowHarness h;
        QCoro::waitFor(h->applyScreenshotStep(step));
        QCOMPARE(h->phase(), AssistPhase::idle);
        QVERIFY(h.meetingSpeech->transcript().isEmpty());
        QVERIFY(h.nebius->koreanRequests.isEmpty());
    }
};

QTEST_GUILESS_MAIN(StartupTest)
#include "StartupTest.moc"
