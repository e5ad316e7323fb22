#include "tests/workflow/WorkflowHarness.h"

#include <QTest>
#include <qcoro/qcorotask.h>

namespace {

using Choice = std::optional<qint32>;

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
    }

    // A failed voice list shows its failure in the ElevenLabs group and nowhere else.
    void prepareLoadsVoicesApplicationsAndDevices_data() {
        QTest::addColumn<QString>("voiceListFailure");
        QTest::newRow("voices listed") << QString();
        QTest::newRow("voice list fails") << "ElevenLabs rejected the API key.";
    }
    void prepareLoadsVoicesApplicationsAndDevices() {
        QFETCH(QString, voiceListFailure);
        WorkflowHarness h;
        h.keychain->storedKey = QStringLiteral("key");
        if (voiceListFailure.isEmpty())
            h.elevenLabs->voiceLists.answer({{"v1", "Mina", {}, {}}});
        else
            h.elevenLabs->voiceLists.fail(voiceListFailure);
        h.capture->applications = {notes, zoom};
        QCoro::waitFor(h->prepare());
        QVERIFY(h->hasElevenLabsAPIKey());
        QCOMPARE(h->selectedElevenLabsVoiceID() == "v1", voiceListFailure.isEmpty());
        QVERIFY(voiceListFailure.isEmpty() || h->elevenLabsStatus() == voiceListFailure);
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

    void applicationIsChosenAutomatically_data() {
        QTest::addColumn<QList<CaptureApplication>>("listed");
        QTest::addColumn<Choice>("previous");
        QTest::addColumn<Choice>("chosen");
        QTest::newRow("first of Chrome and Zoom wins")
            << QList{notes, zoom, chrome} << Choice() << Choice(zoom.id);
        QTest::newRow("Chrome by bundle in any case")
            << QList{notes, application(9, "Browser", "COM.GOOGLE.CHROME")} << Choice()
            << Choice(9);
        QTest::newRow("Zoom by title in any case")
            << QList{notes, application(8, "zoom.us")} << Choice() << Choice(8);
        QTest::newRow("title Chrome is not enough")
            << QList{application(7, "Chrome", "org.chromium")} << Choice() << Choice();
        QTest::newRow("user's choice stays") << QList{chrome, notes} << Choice(3) << Choice(3);
        QTest::newRow("quit choice is replaced") << QList{notes, chrome} << Choice(42) << Choice(1);
        QTest::newRow("quit choice with nothing to pick") << QList{notes} << Choice(42) << Choice();
    }
    void applicationIsChosenAutomatically() {
        QFETCH(QList<CaptureApplication>, listed);
        QFETCH(Choice, previous);
        WorkflowHarness h;
        h.capture->applications = listed;
        QCoro::waitFor(h->refreshApplications());
        h->setSelectedApplicationID(previous);
        QCoro::waitFor(h->refreshApplications());
        QTEST(h->selectedApplicationID(), "chosen");
    }

    void failedListingKeepsTheOldList() {
        WorkflowHarness h;
        h.capture->applications = {chrome};
        QCoro::waitFor(h->refreshApplications());
        h.capture->listings.fail(QStringLiteral("Refused."));
        QCoro::waitFor(h->refreshApplications());
        QCOMPARE(h->phase(), AssistPhase::error);
        QCOMPARE(h->statusMessage(),
                 QStringLiteral("Connect to the sound server so the app can listen only to the "
                                "selected meeting app. Refused."));
        QCOMPARE(h->applications(), QList{chrome});
        QCOMPARE(h->selectedApplicationID(), chrome.id);
    }
};

QTEST_GUILESS_MAIN(StartupTest)
#include "StartupTest.moc"
