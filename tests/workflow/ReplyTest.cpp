#include "tests/support/WaitUntil.h"
#include "tests/workflow/WorkflowHarness.h"

#include <QFile>
#include <QTest>
#include <qcoro/qcorotask.h>

namespace {

const QString reply = QStringLiteral("네, 목요일까지 공유하겠습니다.");
const QString answer = QStringLiteral("Yes, I will share it by Thursday.");

void speak(WorkflowHarness& h, const QString& said) {
    h->startKoreanReply();
    h.koreanSpeech->setTranscript(said);
    QCoro::waitFor(h->finishKoreanReply());
}

// A reply spoken and taken, with its translation voiced by the default system voice.
void speakAndFinish(WorkflowHarness& h) {
    h.nebius->englishAnswers.answer(answer);
    speak(h, reply);
}

// The meeting's captions running.
void listen(WorkflowHarness& h) {
    h.capture->applications = {{7, QStringLiteral("zoom.us"), QString(), {}}};
    QCoro::waitFor(h->refreshApplications());
    QCoro::waitFor(h->startMeetingListening());
}

// A connected account whose one voice is chosen, with an answer to voice.
void chooseElevenLabs(WorkflowHarness& h) {
    h.keychain->storedKey = QStringLiteral("key");
    h.elevenLabs->voiceLists.answer({{QStringLiteral("v-mina"), QStringLiteral("Mina"), {}, true}});
    QCoro::waitFor(h->refreshElevenLabsVoices());
    h->selectVoiceSource(VoiceSource::elevenLabs);
    h->setApprovedText(answer);
}

} // namespace

class ReplyTest : public QObject {
    Q_OBJECT

private slots:
    // The words the recognizer decodes only at the end are shown, and what is shown is sent.
    void replyIsTranslatedWholeAndVoicedAtOnce() {
        WorkflowHarness h;
        h.koreanSpeech->finalTranscript = QStringLiteral("  ") + reply + QStringLiteral("\n");
        h.nebius->englishAnswers.answer(answer);
        speak(h, QStringLiteral("네, 목요일까지"));
        QCOMPARE(h->koreanReply(), reply);
        QCOMPARE(h.koreanSpeech->stopCount, 1);
        QCOMPARE(h.nebius->englishRequests, QStringList{reply});
        QCOMPARE(h->approvedText(), answer);
        QCOMPARE(h.audioOutput->synthesizedVoices, QStringList{QStringLiteral("Samantha")});
        QCOMPARE(h->phase(), AssistPhase::readyToSend);
    }

    // The English fills the answer field as it arrives and can be edited only once complete;
    // a translation that fails midway leaves none of itself to send.
    void replyStreamsInAndIsEditableOnceComplete_data() {
        QTest::addColumn<bool>("fails");
        QTest::newRow("completes") << false;
        QTest::newRow("fails midway") << true;
    }
    void replyStreamsInAndIsEditableOnceComplete() {
        QFETCH(bool, fails);
        WorkflowHarness h;
        const auto gate = fails ? h.nebius->englishAnswers.failWhenOpened(QStringLiteral("cut"))
                                : h.nebius->englishAnswers.answerWhenOpened(answer);
        h->startKoreanReply();
        h.koreanSpeech->setTranscript(reply);
        auto finishing = h->finishKoreanReply();
        QTRY_COMPARE_WITH_TIMEOUT(h.nebius->englishPartials.size(), 1, 30'000);
        QVERIFY(h->isReceivingReply());
        h.nebius->englishPartials[0](QStringLiteral("Yes, I will"));
        QCOMPARE(h->approvedText(), QStringLiteral("Yes, I will"));
        gate->open();
        QCoro::waitFor(std::move(finishing));
        QVERIFY(!h->isReceivingReply());
        QCOMPARE(h->approvedText(), fails ? QString() : answer);
        QCOMPARE(h->phase(), fails ? AssistPhase::error : AssistPhase::readyToSend);
    }

    // Each step's failure, or blank input, ends in the error phase with the reason.
    void failuresBecomeState() {
        WorkflowHarness h;
        auto failsWith = [&](const QString& status) {
            QCOMPARE(h->phase(), AssistPhase::error);
            QCOMPARE(h->statusMessage(), status);
        };
        h.koreanSpeech->startFailure = QStringLiteral("no microphone");
        h->startKoreanReply();
        failsWith(QStringLiteral("no microphone"));

        h.koreanSpeech->startFailure.reset();
        speak(h, QStringLiteral(" \n "));
        failsWith(QStringLiteral("한국어 답변을 인식하지 못했습니다. 다시 말해 주세요."));
        h.koreanSpeech->finishFailure = QStringLiteral("recognizer failed");
        speak(h, reply);
        failsWith(QStringLiteral("recognizer failed"));
        QVERIFY(h.nebius->englishRequests.isEmpty());

        h.koreanSpeech->finishFailure.reset();
        h.nebius->englishAnswers.fail(QStringLiteral("relay down"));
        speak(h, reply);
        failsWith(QStringLiteral("relay down"));
        QVERIFY(!h->isTranslatingReply());

        h->setApprovedText(QStringLiteral(" \t"));
        QVERIFY(!QCoro::waitFor(h->generateApprovedVoice()));
        failsWith(QStringLiteral("Choose or write an English answer first."));

        // ElevenLabs needs a key (even one removed behind the program's back) and a voice.
        const QString notReady = QStringLiteral(
            "Connect ElevenLabs and select a voice, or switch to a free local voice.");
        chooseElevenLabs(h);
        h.keychain->storedKey.reset();
        QVERIFY(!QCoro::waitFor(h->generateApprovedVoice()));
        failsWith(notReady);
        h.keychain->storedKey = QStringLiteral("key");
        h->selectElevenLabsVoice(std::nullopt);
        QVERIFY(!QCoro::waitFor(h->generateApprovedVoice()));
        failsWith(notReady);
        QVERIFY(h.elevenLabs->synthesizedTexts.isEmpty());
    }

    // A reply ends on its recognizer's failure (an older one's late error is ignored) or on
    // cancel, which returns to the captions still running; either stops the recognizer but not
    // the meeting's captions.
    void replyEndsOnFailureOrCancel() {
        WorkflowHarness h;
        listen(h);
        h.koreanSpeech->setRecognitionError(QStringLiteral("stale"));
        QVERIFY(h->phase() != AssistPhase::error);
        h->startKoreanReply();
        h->cancelKoreanReply();
        QCOMPARE(h->phase(), AssistPhase::listening);
        h->startKoreanReply();
        h.koreanSpeech->setRecognitionError(QStringLiteral("cancelled"));
        QCOMPARE(h->statusMessage(), QStringLiteral("cancelled"));
        QCOMPARE(h.koreanSpeech->stopCount, 2);
        QCOMPARE(h.capture->stopCount, 0);
    }

    // A reply cancelled, or replaced by a new one, while it is recognised, translated or voiced
    // leaves no trace: no text, no voice, no phase of its own.
    void staleReplyResultsAreDropped_data() {
        QTest::addColumn<QString>("held");
        QTest::addColumn<bool>("cancel");
        for (const char* held : {"recognition", "translation", "voice"}) {
            QTest::addRow("cancel during %s", held) << QString::fromLatin1(held) << true;
            QTest::addRow("new reply during %s", held) << QString::fromLatin1(held) << false;
        }
    }

    void staleReplyResultsAreDropped() {
        QFETCH(QString, held);
        QFETCH(bool, cancel);
        WorkflowHarness h;
        const auto gate = held == "recognition" ? h.koreanSpeech->finishes.hold()
                          : held == "translation"
                              ? h.nebius->englishAnswers.answerWhenOpened(answer)
                              : h.audioOutput->syntheses.hold();
        h->startKoreanReply();
        h.koreanSpeech->setTranscript(reply);
        auto finishing = h->finishKoreanReply();
        cancel ? h->cancelKoreanReply() : h->startKoreanReply();
        gate->open();
        QCoro::waitFor(finishing);
        QCOMPARE(h->phase(), cancel ? AssistPhase::idle : AssistPhase::speakingKorean);
        QVERIFY(!h->synthesizedURL() && !h->isTranslatingReply() && !h->isGeneratingVoice());
        // A cancel keeps an English answer that was already shown; a new reply clears it.
        QCOMPARE(h->approvedText().isEmpty(), !cancel || held != "voice");
        if (!cancel)
            QVERIFY(h->koreanReply().isEmpty());
    }

    // Listening and replying are independent: a stop, a caption start that ends late or the
    // meeting application quitting leave a reply recording; cancelling it goes back to what the
    // captions do then.
    void listeningLeavesTheReplyAlone_data() {
        QTest::addColumn<QString>("during");
        QTest::addColumn<AssistPhase>("afterCancel");
        QTest::newRow("stop") << "stop" << AssistPhase::idle;
        QTest::newRow("late start") << "late start" << AssistPhase::listening;
        QTest::newRow("application quits") << "quit" << AssistPhase::idle;
    }

    void listeningLeavesTheReplyAlone() {
        QFETCH(QString, during);
        QFETCH(AssistPhase, afterCancel);
        WorkflowHarness h;
        std::shared_ptr<Gate> start;
        std::optional<QCoro::Task<>> starting;
        if (during == "late start") {
            h.capture->applications = {{7, QStringLiteral("zoom.us"), QString(), {}}};
            QCoro::waitFor(h->refreshApplications());
            start = h.meetingSpeech->starts.hold();
            starting = h->startMeetingListening();
        } else {
            listen(h);
        }
        h->startKoreanReply();
        if (during == "stop")
            QCoro::waitFor(h->stopMeetingListening());
        else if (during == "quit")
            h.capture->end();
        else
            start->open();
        if (starting)
            QCoro::waitFor(*starting);
        WAIT_COMPARE(h.meetingSpeech->cancelCount, during == "late start" ? 0 : 1,
                     "the captions to stop");
        QCOMPARE(h->phase(), AssistPhase::speakingKorean);
        QVERIFY(h.koreanSpeech->isListening());
        h->cancelKoreanReply();
        QCOMPARE(h->phase(), afterCancel);
    }

    // A preview never moves the phase: its failure, at once or after it started playing, is
    // shown on its own; a send that fails while playing is an error.
    void failedPlaybackOnceStarted_data() {
        QTest::addColumn<bool>("send");
        QTest::addColumn<AssistPhase>("phase");
        QTest::newRow("preview") << false << AssistPhase::readyToSend;
        QTest::newRow("send") << true << AssistPhase::error;
    }

    void failedPlaybackOnceStarted() {
        QFETCH(bool, send);
        QFETCH(AssistPhase, phase);
        const QString cut = QStringLiteral("The output device went away.");
        WorkflowHarness h;
        speakAndFinish(h);
        h.audioOutput->setSelectedDeviceID(3);
        send ? h->sendToMeeting() : h->preview();
        emit h.audioOutput->playbackFailed(cut);
        QCOMPARE(h->phase(), phase);
        QCOMPARE(h->previewFailure(), send ? QString() : cut);
        QCOMPARE(h->statusMessage() == cut, send);
        // The next preview that plays clears the failure.
        h->preview();
        QVERIFY(h->previewFailure().isEmpty());
    }

    // The audio is voiced anew only when the text or the voice changed, or the file is gone;
    // a failed voicing of another text keeps it.
    void voicingReusesTheSameTextAndVoice_data() {
        QTest::addColumn<QString>("change");
        QTest::addColumn<bool>("reused");
        QTest::addColumn<int>("voicings");
        QTest::newRow("unchanged") << "" << true << 1;
        QTest::newRow("spaces at the ends") << "spaces" << true << 1;
        QTest::newRow("one word changed") << "word" << false << 2;
        QTest::newRow("file deleted") << "file" << false << 2;
        QTest::newRow("other system voice") << "voice" << false << 2;
        QTest::newRow("another text failed") << "failed" << true << 2;
    }

    void voicingReusesTheSameTextAndVoice() {
        QFETCH(QString, change);
        QFETCH(bool, reused);
        QFETCH(int, voicings);
        WorkflowHarness h;
        speakAndFinish(h);
        if (change == "failed") {
            h->setApprovedText(QStringLiteral("Yes, I will share it by Friday."));
            h.audioOutput->syntheses.fail(QStringLiteral("The voice could not be rendered."));
            QVERIFY(!QCoro::waitFor(h->generateApprovedVoice()));
            h->setApprovedText(answer);
        }
        if (change == "spaces")
            h->setApprovedText(QStringLiteral("  ") + answer + QStringLiteral(" \n"));
        else if (change == "word")
            h->setApprovedText(QStringLiteral("Yes, I will share it by Friday."));
        else if (change == "file")
            QVERIFY(QFile::remove(h->synthesizedURL()->toLocalFile()));
        else if (change == "voice")
            h->selectLocalVoice(QStringLiteral("daniel"));
        QVERIFY(QCoro::waitFor(h->generateApprovedVoice()));
        QCOMPARE(h.audioOutput->synthesizedTexts.size(), voicings);
        QCOMPARE(h->statusMessage().startsWith(QStringLiteral("Reusing")), reused);
    }

    // A second request while the first is voicing, or still reading the key, does nothing.
    void secondRequestWhileGeneratingDoesNothing_data() {
        QTest::addColumn<bool>("elevenLabs");
        QTest::newRow("system voice") << false;
        QTest::newRow("ElevenLabs") << true;
    }

    void secondRequestWhileGeneratingDoesNothing() {
        QFETCH(bool, elevenLabs);
        WorkflowHarness h;
        h->setApprovedText(answer);
        if (elevenLabs)
            chooseElevenLabs(h);
        const auto loads = {h.keychain->loads.hold(), h.keychain->loads.hold()};
        const auto synthesis =
            (elevenLabs ? h.elevenLabs->syntheses : h.audioOutput->syntheses).hold();
        auto first = h->generateApprovedVoice();
        auto second = h->generateApprovedVoice();
        for (const auto& load : loads)
            load->open();
        QVERIFY(!QCoro::waitFor(second));
        synthesis->open();
        QVERIFY(QCoro::waitFor(first));
        QCOMPARE(h.audioOutput->synthesizedTexts.size() + h.elevenLabs->synthesizedTexts.size(), 1);
    }

    // Preview plays on this computer's output, send on the chosen device; a failed preview
    // still lets the answer be sent.
    void previewAndSend_data() {
        QTest::addColumn<bool>("send");
        QTest::addColumn<QString>("playFailure");
        QTest::addColumn<AssistPhase>("phase");
        QTest::addColumn<QString>("status");
        const QString wentAway = QStringLiteral("The output device went away.");
        QTest::newRow("preview plays on the default output")
            << false << QString() << AssistPhase::readyToSend
            << QStringLiteral("Playing through this computer's current speaker output.");
        QTest::newRow("failed preview")
            << false << wentAway << AssistPhase::readyToSend
            << QStringLiteral("Generated with Samantha · Woman · US. Preview it or send it to the "
                              "meeting.");
        QTest::newRow("send plays on the device")
            << true << QString() << AssistPhase::playing
            << QStringLiteral("Sending the approved English voice to the meeting.");
        QTest::newRow("failed send") << true << wentAway << AssistPhase::error << wentAway;
    }

    void previewAndSend() {
        QFETCH(bool, send);
        QFETCH(QString, playFailure);
        QFETCH(AssistPhase, phase);
        QFETCH(QString, status);
        WorkflowHarness h;
        speakAndFinish(h);
        h.audioOutput->setSelectedDeviceID(3);
        if (!playFailure.isEmpty())
            h.audioOutput->playFailure = playFailure;
        send ? h->sendToMeeting() : h->preview();
        QCOMPARE(h->phase(), phase);
        QCOMPARE(h->statusMessage(), status);
        QCOMPARE(h->previewFailure(), send ? QString() : playFailure);
        QCOMPARE(h.audioOutput->playbacks.size(), playFailure.isEmpty() ? 1 : 0);
        if (playFailure.isEmpty())
            QCOMPARE(h.audioOutput->playbacks[0].deviceID,
                     send ? std::optional<quint32>(3) : std::nullopt);
        // A new reply stops the voice and voices even the same answer anew.
        speakAndFinish(h);
        QVERIFY(!h.audioOutput->isPlaying());
        QCOMPARE(h.audioOutput->synthesizedTexts, QStringList({answer, answer}));
    }
};

QTEST_GUILESS_MAIN(ReplyTest)
#include "ReplyTest.moc"
