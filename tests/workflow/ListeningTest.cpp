#include "tests/workflow/WorkflowHarness.h"

#include <QElapsedTimer>
#include <QTest>
#include <qcoro/qcorotask.h>

namespace {

const CaptureApplication chrome{
    101, QStringLiteral("Google Chrome"), QStringLiteral("com.google.Chrome"), {}};
const QString fragment = QStringLiteral("Could you share the updated schedule");
const QString stopped = QStringLiteral("Live captions stopped. No transcript history was saved.");

// Longer than the silence delay, with room for a loaded machine.
constexpr int afterSilence = 1500;

// Publishes as the caption service does: the completed sentence first, then the transcript.
void publish(WorkflowHarness& h, const QString& completed, const QString& transcript) {
    h.meetingSpeech->setCompletedSentence(completed);
    h.meetingSpeech->setTranscript(transcript);
}
void publishSentence(WorkflowHarness& h, const QString& sentence) {
    publish(h, sentence, sentence);
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
    void listeningFeedsCapturedAudioToTheCaptions() {
        WorkflowHarness h;
        listChrome(h);
        QCoro::waitFor(h->startMeetingListening());
        QCOMPARE(h->phase(), AssistPhase::listening);
        QVERIFY(h->statusMessage().startsWith(QStringLiteral("Live captions are listening only "
                                                             "to Google Chrome.")));
        QCOMPARE(h.capture->startedApplications, QList<CaptureApplication>{chrome});
        h.capture->deliver(PcmBuffer());
        QCOMPARE(h.meetingSpeech->appendedCount.load(), 1);

        QCoro::waitFor(h->stopMeetingListening());
        QCOMPARE(h->phase(), AssistPhase::idle);
        QCOMPARE(h->statusMessage(), stopped);
        QCOMPARE(h.capture->stopCount, 1);
        QCOMPARE(h.meetingSpeech->cancelCount, 1);
    }

    // The captions start before the capture; a failed capture leaves them for the next start.
    void failedStartStopsThere_data() {
        QTest::addColumn<std::optional<qint32>>("selection");
        QTest::addColumn<int>("failing");
        QTest::addColumn<QString>("status");
        const QString noApplication = QStringLiteral("Select the meeting application first.");
        QTest::newRow("nothing selected") << std::optional<qint32>() << 0 << noApplication;
        QTest::newRow("selection gone") << std::optional<qint32>(999) << 0 << noApplication;
        QTest::newRow("captions") << std::optional(chrome.id) << 1 << "The model is missing.";
        QTest::newRow("capture") << std::optional(chrome.id) << 2 << "Recording refused.";
    }
    void failedStartStopsThere() {
        QFETCH(std::optional<qint32>, selection);
        QFETCH(int, failing);
        QFETCH(QString, status);
        WorkflowHarness h;
        listChrome(h);
        h->setSelectedApplicationID(selection);
        if (failing > 0)
            (failing == 1 ? h.meetingSpeech->starts : h.capture->starts).fail(status);
        QCoro::waitFor(h->startMeetingListening());
        QCOMPARE(h->phase(), AssistPhase::error);
        QCOMPARE(h->statusMessage(), status);
        QCOMPARE(h.meetingSpeech->startCount, failing > 0 ? 1 : 0);
        QCOMPARE(h.capture->startedApplications.size(), failing == 2 ? 1 : 0);
        QCOMPARE(h.meetingSpeech->cancelCount, 0);
    }

    // Every change restarts the silence delay: fragments 400 ms apart stay untranslated although
    // the first is older than the delay; the last is translated once.
    void fragmentIsTranslatedOnceAfterSilence() {
        WorkflowHarness h;
        QStringList seen;
        connect(&h.model(), &AppViewModel::translatedEnglishSentenceChanged, &h.model(),
                [&](const QString& value) { seen << "english:" + value; });
        connect(&h.model(), &AppViewModel::liveTranslationChanged, &h.model(),
                [&](const QString& value) { seen << "korean:" + value; });
        connect(&h.model(), &AppViewModel::isTranslatingChanged, &h.model(),
                [&](bool value) { seen << QStringLiteral("busy:%1").arg(value); });
        QString text = fragment;
        QElapsedTimer sincePublished;
        for (int change = 0; change < 4; ++change) {
            if (change > 0) {
                QTest::qWait(400);
                text += QStringLiteral(" more");
                // A timer cannot have fired sooner than 5 % before the 900 ms delay.
                if (sincePublished.elapsed() >= 800)
                    QSKIP("The machine stalled for as long as the silence delay.");
            }
            sincePublished.start();
            publish(h, QString(), text);
        }
        QTRY_COMPARE_WITH_TIMEOUT(h.nebius->koreanRequests, QStringList{text}, 60'000);
        QTRY_COMPARE(seen,
                     QStringList({"busy:1", "english:" + text, "korean:ko:" + text, "busy:0"}));
        QTest::qWait(afterSilence);
        QCOMPARE(h.nebius->koreanRequests.size(), 1);
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
            publish(h, QString(), fragment);
        publishSentence(h, fragment + u'?');
        QCOMPARE(h.nebius->koreanRequests, QStringList{fragment + u'?'});
        QTest::qWait(afterSilence);
        QCOMPARE(h.nebius->koreanRequests, QStringList{fragment + u'?'});
        QCOMPARE(h->liveTranslation(), "ko:" + fragment + u'?');
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
        publishSentence(h, QStringLiteral("A."));
        publishSentence(h, QStringLiteral("B."));
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
        publishSentence(h, QStringLiteral("A."));
        QTRY_COMPARE(h->liveTranslation(), QStringLiteral("한국어 번역을 불러오지 못했습니다."));
        QVERIFY(!h->isTranslating());
        publishSentence(h, QStringLiteral("B."));
        QTRY_COMPARE(h->liveTranslation(), QStringLiteral("ko:B."));
        h.nebius->koreanAnswers.fail(QStringLiteral("network down"));
        publishSentence(h, QStringLiteral("C."));
        QTRY_VERIFY(!h->isTranslating());
        QCOMPARE(h->liveTranslation(), QStringLiteral("ko:B."));
        QCOMPARE(h->translatedEnglishSentence(), QStringLiteral("B."));
        QCOMPARE(h->phase(), AssistPhase::idle);
    }

    void blankTranscriptClearsAtOnceButTheNewestTranslationStillLands() {
        WorkflowHarness h;
        const auto answer = h.nebius->koreanAnswers.answerWhenOpened(QStringLiteral("A 번역"));
        publishSentence(h, QStringLiteral("A."));
        h.meetingSpeech->setTranscript(QStringLiteral("  \n"));
        QVERIFY(h->liveTranslation().isEmpty());
        QVERIFY(!h->isTranslating());
        answer->open();
        QTRY_COMPARE(h->liveTranslation(), QStringLiteral("A 번역"));
    }

    // A restart clears the old translation before the model is prepared; a stop then cancels the
    // preparation, and the start ends without capturing or overwriting what the stop showed.
    void restartClearsTheTranslationAndAStopEndsItQuietly() {
        WorkflowHarness h;
        listChrome(h);
        QCoro::waitFor(h->startMeetingListening());
        publishSentence(h, QStringLiteral("A."));
        QTRY_COMPARE(h->liveTranslation(), QStringLiteral("ko:A."));
        QCoro::waitFor(h->stopMeetingListening());
        QCOMPARE(h->liveTranslation(), QStringLiteral("ko:A."));

        const auto preparing = h.meetingSpeech->starts.hold();
        auto start = h->startMeetingListening();
        QVERIFY(h->liveTranslation().isEmpty() && h->translatedEnglishSentence().isEmpty());
        QVERIFY(h->statusMessage().startsWith(QStringLiteral("Preparing the Nemotron")));
        QCoro::waitFor(h->stopMeetingListening());
        preparing->open();
        QCoro::waitFor(start);
        QCOMPARE(h->phase(), AssistPhase::idle);
        QCOMPARE(h->statusMessage(), stopped);
        QCOMPARE(h.capture->startedApplications.size(), 1);
    }

    // A late translation and a pending fragment outlive the controller: both end without
    // touching it (the sanitizer build runs this too) and let go of what they held.
    void tasksDoNothingOnceTheControllerIsGone() {
        WorkflowHarness h;
        const auto answer = h.nebius->koreanAnswers.answerWhenOpened(QStringLiteral("A 번역"));
        publishSentence(h, QStringLiteral("A."));
        h.meetingSpeech->setTranscript(fragment);
        h.close();
        answer->open();
        QTRY_COMPARE(answer.use_count(), 1L);
        QTest::qWait(afterSilence);
    }
};

QTEST_GUILESS_MAIN(ListeningTest)
#include "ListeningTest.moc"
