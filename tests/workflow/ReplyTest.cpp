#include "tests/workflow/WorkflowHarness.h"

#include <QFile>
#include <QTest>
#include <qcoro/qcorotask.h>

namespace {

const QString reply = QStringLiteral("네, 목요일까지 공유하겠습니다.");
const QString answer = QStringLiteral("Yes, I will share it by Thursday.");
const QString notRecognised =
    QStringLiteral("한국어 답변을 인식하지 못했습니다. 다시 말해 주세요.");
const QString reusing =
    QStringLiteral("Reusing the already generated audio. No additional voice generation was "
                   "charged.");
const QString elevenLabsNotReady =
    QStringLiteral("Connect ElevenLabs and select a voice, or switch to a free local voice.");
const ElevenLabsVoice mina{QStringLiteral("v-mina"), QStringLiteral("Mina"), {}, true};

// The screen's preview and send buttons: generate first, act only on success.
void send(AppViewModel& model) {
    if (QCoro::waitFor(model.generateApprovedVoice()))
        model.sendToMeeting();
}

// A reply spoken and taken, with its translation voiced by the default system voice.
void speakAndFinish(WorkflowHarness& h) {
    h->startKoreanReply();
    h.koreanSpeech->setTranscript(reply);
    h.nebius->englishAnswers.answer(answer);
    QCoro::waitFor(h->finishKoreanReply());
}

// A connected account whose voice Mina is chosen, with an answer to voice.
void chooseElevenLabs(WorkflowHarness& h) {
    h.keychain->storedKey = QStringLiteral("key");
    h.elevenLabs->voiceLists.answer({mina});
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
        h->startKoreanReply();
        QCOMPARE(h->phase(), AssistPhase::speakingKorean);
        QCOMPARE(h->statusMessage(),
                 QStringLiteral("한국어로 답하세요. 말이 끝나면 ‘말하기 완료’를 누르세요. 아직 "
                                "상대방에게 전송되지 않습니다."));
        h.koreanSpeech->setTranscript(QStringLiteral("네, 목요일까지"));
        QCOMPARE(h->koreanReply(), QStringLiteral("네, 목요일까지"));
        h.koreanSpeech->finalTranscript = QStringLiteral("  ") + reply + QStringLiteral("\n");

        const auto translation = h.nebius->englishAnswers.answerWhenOpened(answer);
        auto finish = h->finishKoreanReply();
        QCOMPARE(h->koreanReply(), reply);
        QCOMPARE(h.koreanSpeech->stopCount, 1);
        QCOMPARE(h->phase(), AssistPhase::translatingReply);
        QVERIFY(h->isTranslatingReply());
        QCOMPARE(h->statusMessage(),
                 QStringLiteral("한국어 답변을 자연스러운 영어로 번역하고 있습니다…"));
        translation->open();
        QCoro::waitFor(finish);

        QCOMPARE(h.nebius->englishRequests, QStringList{reply});
        QCOMPARE(h->approvedText(), answer);
        QCOMPARE(h.audioOutput->synthesizedTexts, QStringList{answer});
        QCOMPARE(h.audioOutput->synthesizedVoices, QStringList{QStringLiteral("Samantha")});
        QCOMPARE(h->phase(), AssistPhase::readyToSend);
        QCOMPARE(h->statusMessage(),
                 QStringLiteral("Generated with Samantha · Woman · US. Preview it or send it "
                                "to the meeting."));
        QVERIFY(h->synthesizedURL());
        QVERIFY(!h->isTranslatingReply());
        QVERIFY(!h->isGeneratingVoice());
    }

    // Each step's failure, or blank input, ends in the error phase with the reason.
    void failuresBecomeState() {
        WorkflowHarness h;
        auto failsWith = [&](const QString& status) {
            QCOMPARE(h->phase(), AssistPhase::error);
            QCOMPARE(h->statusMessage(), status);
        };
        h.koreanSpeech->startFailure = QStringLiteral("The microphone is not available.");
        h->startKoreanReply();
        failsWith(QStringLiteral("The microphone is not available."));

        h.koreanSpeech->startFailure.reset();
        h->startKoreanReply();
        h.koreanSpeech->setTranscript(QStringLiteral(" \n "));
        QCoro::waitFor(h->finishKoreanReply());
        failsWith(notRecognised);
        QVERIFY(h.nebius->englishRequests.isEmpty());

        // The recognizer's failure at the end of the reply.
        h->startKoreanReply();
        h.koreanSpeech->setTranscript(reply);
        h.koreanSpeech->finishFailure = QStringLiteral("한국어 음성 인식 중 오류가 발생해");
        QCoro::waitFor(h->finishKoreanReply());
        failsWith(QStringLiteral("한국어 음성 인식 중 오류가 발생해"));
        QVERIFY(!h->isTranslatingReply());
        QVERIFY(h.nebius->englishRequests.isEmpty());

        h.koreanSpeech->finishFailure.reset();
        h->startKoreanReply();
        h.koreanSpeech->setTranscript(reply);
        h.nebius->englishAnswers.fail(QStringLiteral("번역 서버에 연결하지 못했습니다."));
        QCoro::waitFor(h->finishKoreanReply());
        failsWith(QStringLiteral("번역 서버에 연결하지 못했습니다."));
        QVERIFY(!h->isTranslatingReply());

        h->setApprovedText(QStringLiteral(" \t"));
        QVERIFY(!QCoro::waitFor(h->generateApprovedVoice()));
        failsWith(QStringLiteral("Choose or write an English answer first."));
    }

    // Only a reply under way ends on a recognizer failure; an older one's late error does not.
    void recognizerFailureEndsTheReply() {
        WorkflowHarness h;
        h.koreanSpeech->setRecognitionError(QStringLiteral("stale"));
        QCOMPARE(h->phase(), AssistPhase::idle);
        h.koreanSpeech->setRecognitionError(std::nullopt);

        h->startKoreanReply();
        h.koreanSpeech->setRecognitionError(QStringLiteral("The model download was cancelled."));
        QCOMPARE(h->phase(), AssistPhase::error);
        QCOMPARE(h->statusMessage(), QStringLiteral("The model download was cancelled."));
        QCOMPARE(h.koreanSpeech->stopCount, 1);
    }

    void cancellingAReplyReturnsToIdleWhileListening() {
        WorkflowHarness h;
        h.capture->applications = {{7, QStringLiteral("zoom.us"), QString(), {}}};
        QCoro::waitFor(h->refreshApplications());
        QCoro::waitFor(h->startMeetingListening());
        h->startKoreanReply();

        h->cancelKoreanReply();

        QCOMPARE(h->phase(), AssistPhase::idle);
        QCOMPARE(h->statusMessage(), QStringLiteral("한국어 답변 녹음을 취소했습니다."));
        QCOMPARE(h.koreanSpeech->stopCount, 1);
        QCOMPARE(h.capture->stopCount, 0);
    }

    // The audio is voiced anew only when the text or the voice changed, or the file is gone.
    void voicingReusesTheSameTextAndVoice_data() {
        QTest::addColumn<QString>("change");
        QTest::addColumn<bool>("reused");
        QTest::newRow("unchanged") << "" << true;
        QTest::newRow("spaces at the ends") << "spaces" << true;
        QTest::newRow("one word changed") << "word" << false;
        QTest::newRow("file deleted") << "file" << false;
        QTest::newRow("other system voice") << "voice" << false;
        QTest::newRow("other voice source") << "source" << false;
    }

    void voicingReusesTheSameTextAndVoice() {
        QFETCH(QString, change);
        QFETCH(bool, reused);
        WorkflowHarness h;
        speakAndFinish(h);
        if (change == "spaces")
            h->setApprovedText(QStringLiteral("  ") + answer + QStringLiteral(" \n"));
        else if (change == "word")
            h->setApprovedText(QStringLiteral("Yes, I will share it by Friday."));
        else if (change == "file")
            QVERIFY(QFile::remove(h->synthesizedURL()->toLocalFile()));
        else if (change == "voice")
            h->selectLocalVoice(QStringLiteral("daniel"));
        else if (change == "source")
            chooseElevenLabs(h);
        QCOMPARE(bool(h->synthesizedURL()), change != "voice" && change != "source");

        QVERIFY(QCoro::waitFor(h->generateApprovedVoice()));

        QCOMPARE(h.audioOutput->synthesizedTexts.size() + h.elevenLabs->synthesizedTexts.size(),
                 reused ? 1 : 2);
        QCOMPARE(h->statusMessage().startsWith(QStringLiteral("Generated with ")), !reused);
        QCOMPARE(h->statusMessage() == reusing, reused);
    }

    void secondRequestWhileGeneratingDoesNothing() {
        WorkflowHarness h;
        h->setApprovedText(answer);
        const auto synthesis = h.audioOutput->syntheses.hold();
        auto first = h->generateApprovedVoice();
        QVERIFY(h->isGeneratingVoice());
        QCOMPARE(h->statusMessage(),
                 QStringLiteral("Generating with the free local voice ‘Samantha · Woman · US’…"));

        QVERIFY(!QCoro::waitFor(h->generateApprovedVoice()));
        QCOMPARE(h->phase(), AssistPhase::idle);

        synthesis->open();
        QVERIFY(QCoro::waitFor(first));
        QCOMPARE(h.audioOutput->synthesizedTexts.size(), 1);
    }

    void concurrentElevenLabsRequestsGenerateOnce() {
        WorkflowHarness h;
        chooseElevenLabs(h);
        const auto firstLoad = h.keychain->loads.hold();
        const auto secondLoad = h.keychain->loads.hold();
        const auto synthesis = h.elevenLabs->syntheses.hold();

        auto first = h->generateApprovedVoice();
        auto second = h->generateApprovedVoice();
        firstLoad->open();
        secondLoad->open();
        QVERIFY(!QCoro::waitFor(second));
        synthesis->open();
        QVERIFY(QCoro::waitFor(first));
        QCOMPARE(h.elevenLabs->synthesizedVoiceIDs, QStringList{mina.voiceID});
        QCOMPARE(h->statusMessage(),
                 QStringLiteral("Generated with Mina. Preview it or send it to the meeting."));
    }

    void elevenLabsNeedsAKeyAndAVoice_data() {
        QTest::addColumn<bool>("keyRemoved");
        QTest::addColumn<bool>("voiceCleared");
        QTest::newRow("key removed behind the program's back") << true << false;
        QTest::newRow("no voice selected") << false << true;
    }

    void elevenLabsNeedsAKeyAndAVoice() {
        QFETCH(bool, keyRemoved);
        QFETCH(bool, voiceCleared);
        WorkflowHarness h;
        chooseElevenLabs(h);
        if (keyRemoved)
            h.keychain->storedKey.reset();
        if (voiceCleared)
            h->selectElevenLabsVoice(std::nullopt);

        QVERIFY(!QCoro::waitFor(h->generateApprovedVoice()));

        QCOMPARE(h->phase(), AssistPhase::error);
        QCOMPARE(h->statusMessage(), elevenLabsNotReady);
        QVERIFY(h.elevenLabs->synthesizedTexts.isEmpty());
    }

    void previewAndSend_data() {
        QTest::addColumn<bool>("send");
        QTest::addColumn<bool>("voiced");
        QTest::addColumn<std::optional<quint32>>("device");
        QTest::addColumn<QString>("playFailure");
        QTest::addColumn<AssistPhase>("phase");
        QTest::addColumn<QString>("status");
        QTest::addColumn<int>("playbacks");
        const std::optional<quint32> none, mic(3);
        const QString noDevice =
            QStringLiteral("Select a virtual microphone output such as Relayo Virtual Microphone.");
        const QString wentAway = QStringLiteral("The output device went away.");
        QTest::newRow("preview without audio does nothing")
            << false << false << none << QString() << AssistPhase::idle << QString() << 0;
        QTest::newRow("preview plays on the default output")
            << false << true << mic << QString() << AssistPhase::readyToSend
            << QStringLiteral("Playing through this computer's current speaker output.") << 1;
        QTest::newRow("failed preview keeps the phase")
            << false << true << none << wentAway << AssistPhase::readyToSend << wentAway << 0;
        QTest::newRow("send without a device")
            << true << true << none << QString() << AssistPhase::error << noDevice << 0;
        QTest::newRow("send with a device but no audio")
            << true << false << mic << QString() << AssistPhase::error << noDevice << 0;
        QTest::newRow("send plays on the device")
            << true << true << mic << QString() << AssistPhase::playing
            << QStringLiteral("Sending the approved English voice to the meeting.") << 1;
        QTest::newRow("failed send")
            << true << true << mic << wentAway << AssistPhase::error << wentAway << 0;
    }

    void previewAndSend() {
        QFETCH(bool, send);
        QFETCH(bool, voiced);
        QFETCH(std::optional<quint32>, device);
        QFETCH(QString, playFailure);
        QFETCH(AssistPhase, phase);
        QFETCH(QString, status);
        QFETCH(int, playbacks);
        WorkflowHarness h;
        if (voiced)
            speakAndFinish(h);
        h.audioOutput->setSelectedDeviceID(device);
        if (!playFailure.isEmpty())
            h.audioOutput->playFailure = playFailure;
        const auto statusBefore = h->statusMessage();

        send ? h->sendToMeeting() : h->preview();

        QCOMPARE(h->phase(), phase);
        QCOMPARE(h->statusMessage(), status.isNull() ? statusBefore : status);
        QCOMPARE(h.audioOutput->playbacks.size(), playbacks);
        if (playbacks > 0)
            QCOMPARE(h.audioOutput->playbacks[0].deviceID, send ? device : std::nullopt);
    }

    void failedSynthesisKeepsThePreviousAudio() {
        WorkflowHarness h;
        speakAndFinish(h);
        const auto previous = h->synthesizedURL();
        h->setApprovedText(QStringLiteral("Yes, I will share it by Friday."));
        h.audioOutput->syntheses.fail(QStringLiteral("The voice could not be rendered."));

        QVERIFY(!QCoro::waitFor(h->generateApprovedVoice()));

        QCOMPARE(h->phase(), AssistPhase::error);
        QCOMPARE(h->statusMessage(), QStringLiteral("The voice could not be rendered."));
        QVERIFY(!h->isGeneratingVoice());
        QCOMPARE(h->synthesizedURL(), previous);
        h->setApprovedText(answer);
        QVERIFY(QCoro::waitFor(h->generateApprovedVoice()));
        QCOMPARE(h->statusMessage(), reusing);
    }

    void playbackEndedByTheServerIsAnError() {
        WorkflowHarness h;
        h.audioOutput->setSelectedDeviceID(3);
        speakAndFinish(h);
        send(h.model());
        QCOMPARE(h->phase(), AssistPhase::playing);

        emit h.audioOutput->playbackFailed(QStringLiteral("The voice stopped before its end."));
        QCOMPARE(h->phase(), AssistPhase::error);
        QCOMPARE(h->statusMessage(), QStringLiteral("The voice stopped before its end."));
    }

    void newReplyStopsPlaybackAndForgetsTheAudio() {
        WorkflowHarness h;
        speakAndFinish(h);
        h->preview();
        QVERIFY(h.audioOutput->isPlaying());

        h->startKoreanReply();

        QVERIFY(!h.audioOutput->isPlaying());
        QVERIFY(!h->synthesizedURL());
        QVERIFY(h->approvedText().isEmpty());
        QVERIFY(h->koreanReply().isEmpty());

        // The same answer again is voiced anew: a new reply never reuses.
        h.koreanSpeech->setTranscript(reply);
        h.nebius->englishAnswers.answer(answer);
        QCoro::waitFor(h->finishKoreanReply());
        QCOMPARE(h.audioOutput->synthesizedTexts, QStringList({answer, answer}));
    }
};

QTEST_GUILESS_MAIN(ReplyTest)
#include "ReplyTest.moc"
