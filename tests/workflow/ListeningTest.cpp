#include "tests/workflow/WorkflowHarness.h"

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTest>
#include <qcoro/qcorotask.h>

namespace {

const CaptureApplication chrome{
    101, QStringLiteral("Google Chrome"), QStringLiteral("com.google.Chrome"), {}};
const QString fragment = QStringLiteral("Could you share the updated schedule");
const QString sentence = QStringLiteral("Could you share the updated schedule?");

// Longer than the silence delay, with room for a loaded machine.
constexpr int afterSilence = 1500;

// Publishes as the caption service does: the completed sentence first, then the transcript.
void publish(FakeCaptionService* captions, const QString& completed, const QString& transcript) {
    captions->setCompletedSentence(completed);
    captions->setTranscript(transcript);
}

// Lists Chrome, which the automatic choice then selects.
void listChrome(WorkflowHarness& h) {
    h.capture->applications = {chrome};
    QCoro::waitFor(h->refreshApplications());
}

} // namespace

class ListeningTest : public QObject {
    Q_OBJECT

private slots:
    void startingWithoutAnApplicationTouchesNoService_data() {
        QTest::addColumn<std::optional<qint32>>("selection");
        QTest::newRow("nothing selected") << std::optional<qint32>();
        QTest::newRow("selection no longer listed") << std::optional<qint32>(999);
    }

    void startingWithoutAnApplicationTouchesNoService() {
        QFETCH(std::optional<qint32>, selection);
        WorkflowHarness h;
        listChrome(h);
        h->setSelectedApplicationID(selection);

        QCoro::waitFor(h->startMeetingListening());

        QCOMPARE(h->phase(), AssistPhase::error);
        QCOMPARE(h->statusMessage(), QStringLiteral("Select the meeting application first."));
        QCOMPARE(h.meetingSpeech->startCount, 0);
        QVERIFY(h.capture->startedApplications.isEmpty());
    }

    void listeningFeedsCapturedAudioToTheCaptions() {
        WorkflowHarness h;
        listChrome(h);
        QSignalSpy statuses(&h.model(), &AppViewModel::statusMessageChanged);

        QCoro::waitFor(h->startMeetingListening());

        QCOMPARE(h->phase(), AssistPhase::listening);
        QCOMPARE(statuses.first().first().toString(),
                 QStringLiteral("Preparing the Nemotron 560 live-caption model. The first "
                                "download is about 600 MB."));
        QCOMPARE(h->statusMessage(),
                 QStringLiteral("Live captions are listening only to Google Chrome. When the "
                                "question is complete, use the current caption as the question."));
        QCOMPARE(h.capture->startedApplications, QList<CaptureApplication>{chrome});
        h.capture->deliver(PcmBuffer());
        QCOMPARE(h.meetingSpeech->appendedCount.load(), 1);

        QCoro::waitFor(h->stopMeetingListening());
        QCOMPARE(h->phase(), AssistPhase::idle);
        QCOMPARE(h->statusMessage(),
                 QStringLiteral("Live captions stopped. No transcript history was saved."));
        QCOMPARE(h.capture->stopCount, 1);
        QCOMPARE(h.meetingSpeech->cancelCount, 1);
    }

    // The captions start before the capture; a failed capture leaves them for the next start.
    void failedStartStopsThere_data() {
        QTest::addColumn<bool>("captionsFail");
        QTest::addColumn<QString>("failure");
        QTest::newRow("captions") << true << "The speech model could not be loaded.";
        QTest::newRow("capture") << false << "Screen recording is not allowed.";
    }

    // Stopping while the model is prepared cancels the preparation; the start then ends without
    // capturing or overwriting what the stop showed.
    void stopWhilePreparingEndsTheStartQuietly() {
        WorkflowHarness h;
        listChrome(h);
        const auto preparing = h.meetingSpeech->starts.hold();
        auto start = h->startMeetingListening();
        QCoro::waitFor(h->stopMeetingListening());
        preparing->open();
        QCoro::waitFor(start);

        QCOMPARE(h->phase(), AssistPhase::idle);
        QCOMPARE(h->statusMessage(),
                 QStringLiteral("Live captions stopped. No transcript history was saved."));
        QVERIFY(h.capture->startedApplications.isEmpty());
    }

    void failedStartStopsThere() {
        QFETCH(bool, captionsFail);
        QFETCH(QString, failure);
        WorkflowHarness h;
        listChrome(h);
        (captionsFail ? h.meetingSpeech->starts : h.capture->starts).fail(failure);

        QCoro::waitFor(h->startMeetingListening());

        QCOMPARE(h->phase(), AssistPhase::error);
        QCOMPARE(h->statusMessage(), failure);
        QCOMPARE(h.capture->startedApplications.isEmpty(), captionsFail);
        QCOMPARE(h.meetingSpeech->startCount, 1);
        QCOMPARE(h.meetingSpeech->cancelCount, 0);
    }

    void fragmentIsTranslatedOnceAfterSilence() {
        WorkflowHarness h;
        QStringList announcements;
        connect(&h.model(), &AppViewModel::translatedEnglishSentenceChanged, &h.model(),
                [&](const QString& value) { announcements << "english:" + value; });
        connect(&h.model(), &AppViewModel::liveTranslationChanged, &h.model(),
                [&](const QString& value) { announcements << "korean:" + value; });
        connect(&h.model(), &AppViewModel::isTranslatingChanged, &h.model(),
                [&](bool value) { announcements << QStringLiteral("busy:%1").arg(value); });

        publish(h.meetingSpeech, QString(), fragment);
        QVERIFY(h.nebius->koreanRequests.isEmpty());

        QTRY_COMPARE_WITH_TIMEOUT(h.nebius->koreanRequests, QStringList{fragment}, 5000);
        QTRY_COMPARE(h->liveTranslation(), "ko:" + fragment);
        QCOMPARE(h->translatedEnglishSentence(), fragment);
        QCOMPARE(announcements,
                 QStringList({"busy:1", "english:" + fragment, "korean:ko:" + fragment, "busy:0"}));
        QTest::qWait(afterSilence);
        QCOMPARE(h.nebius->koreanRequests.size(), 1);
    }

    void changedFragmentRestartsTheTimer() {
        WorkflowHarness h;
        const QString longer = fragment + QStringLiteral(" with the team");

        publish(h.meetingSpeech, QString(), fragment);
        QTest::qWait(300);
        if (!h.nebius->koreanRequests.isEmpty())
            QSKIP("The machine stalled for longer than the silence delay.");
        publish(h.meetingSpeech, QString(), longer);
        QElapsedTimer sinceChange;
        sinceChange.start();

        QTRY_COMPARE_WITH_TIMEOUT(h.nebius->koreanRequests, QStringList{longer}, 5000);
        // A timer kept from the first fragment would fire 300 ms sooner; coarse timers may fire
        // up to 5 % early.
        QVERIFY(sinceChange.elapsed() >= 800);
    }

    void completedSentenceIsTranslatedOnce_data() {
        QTest::addColumn<bool>("fragmentPending");
        QTest::newRow("caption ends with the full stop") << false;
        QTest::newRow("fragment timer pending") << true;
    }

    void completedSentenceIsTranslatedOnce() {
        QFETCH(bool, fragmentPending);
        WorkflowHarness h;
        if (fragmentPending)
            publish(h.meetingSpeech, QString(), fragment);

        publish(h.meetingSpeech, sentence, sentence);

        QCOMPARE(h.nebius->koreanRequests, QStringList{sentence});
        QTest::qWait(afterSilence);
        QCOMPARE(h.nebius->koreanRequests, QStringList{sentence});
        QCOMPARE(h->liveTranslation(), "ko:" + sentence);
    }

    void lateResultOfAnOlderSentenceIsDropped_data() {
        QTest::addColumn<bool>("honoursCancellation");
        QTest::newRow("request aborted") << true;
        QTest::newRow("request finishes anyway") << false;
    }

    void lateResultOfAnOlderSentenceIsDropped() {
        QFETCH(bool, honoursCancellation);
        WorkflowHarness h;
        h.nebius->honoursCancellation = honoursCancellation;
        const auto first = h.nebius->koreanAnswers.answerWhenOpened(QStringLiteral("A 번역"));
        const auto second = h.nebius->koreanAnswers.answerWhenOpened(QStringLiteral("B 번역"));

        publish(h.meetingSpeech, QStringLiteral("A."), QStringLiteral("A."));
        publish(h.meetingSpeech, QStringLiteral("B."), QStringLiteral("B."));
        first->open();
        QTest::qWait(50);
        QVERIFY(h->liveTranslation().isEmpty());
        QVERIFY(h->isTranslating());

        second->open();
        QTRY_COMPARE(h->liveTranslation(), QStringLiteral("B 번역"));
        QCOMPARE(h->translatedEnglishSentence(), QStringLiteral("B."));
        QVERIFY(!h->isTranslating());
    }

    void failedTranslationKeepsTheOlderText() {
        WorkflowHarness h;
        h.nebius->koreanAnswers.fail(QStringLiteral("network down"));
        publish(h.meetingSpeech, QStringLiteral("A."), QStringLiteral("A."));
        QTRY_COMPARE(h->liveTranslation(), QStringLiteral("한국어 번역을 불러오지 못했습니다."));
        QVERIFY(!h->isTranslating());

        publish(h.meetingSpeech, QStringLiteral("B."), QStringLiteral("B."));
        QTRY_COMPARE(h->liveTranslation(), QStringLiteral("ko:B."));
        h.nebius->koreanAnswers.fail(QStringLiteral("network down"));
        publish(h.meetingSpeech, QStringLiteral("C."), QStringLiteral("C."));
        QTRY_VERIFY(!h->isTranslating());
        QCOMPARE(h->liveTranslation(), QStringLiteral("ko:B."));
        QCOMPARE(h->translatedEnglishSentence(), QStringLiteral("B."));
        QCOMPARE(h->phase(), AssistPhase::idle);
    }

    void blankTranscriptClearsAtOnceButTheNewestTranslationStillLands() {
        WorkflowHarness h;
        const auto answer = h.nebius->koreanAnswers.answerWhenOpened(QStringLiteral("A 번역"));
        publish(h.meetingSpeech, QStringLiteral("A."), QStringLiteral("A."));
        h.meetingSpeech->setTranscript(QStringLiteral("  \n"));
        QVERIFY(h->liveTranslation().isEmpty());
        QVERIFY(!h->isTranslating());

        answer->open();
        QTRY_COMPARE(h->liveTranslation(), QStringLiteral("A 번역"));
    }

    void restartingClearsTheOldTranslationBeforePreparing() {
        WorkflowHarness h;
        listChrome(h);
        QCoro::waitFor(h->startMeetingListening());
        publish(h.meetingSpeech, QStringLiteral("A."), QStringLiteral("A."));
        QTRY_COMPARE(h->liveTranslation(), QStringLiteral("ko:A."));
        QCoro::waitFor(h->stopMeetingListening());
        QCOMPARE(h->liveTranslation(), QStringLiteral("ko:A."));

        const auto preparing = h.meetingSpeech->starts.hold();
        auto start = h->startMeetingListening();
        QVERIFY(h->liveTranslation().isEmpty());
        QVERIFY(h->translatedEnglishSentence().isEmpty());
        QVERIFY(h->statusMessage().startsWith(QStringLiteral("Preparing the Nemotron")));
        preparing->open();
        QCoro::waitFor(start);
        QCOMPARE(h->phase(), AssistPhase::listening);
    }

    // Under the address-sanitizer build, a task touching the closed controller or its
    // services fails here.
    void tasksDoNothingOnceTheControllerIsGone() {
        WorkflowHarness h;
        const auto answer = h.nebius->koreanAnswers.answerWhenOpened(QStringLiteral("A 번역"));
        publish(h.meetingSpeech, QStringLiteral("A."), QStringLiteral("A."));
        h.meetingSpeech->setTranscript(fragment);
        h.close();

        answer->open();
        // The late translation ran to its end and let go of the gate.
        QTRY_COMPARE(answer.use_count(), 1L);
        QTest::qWait(afterSilence);
    }
};

QTEST_GUILESS_MAIN(ListeningTest)
#include "ListeningTest.moc"
