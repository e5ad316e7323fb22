#include "app/ui/WindowTexts.h"

#include <QTest>

using namespace WindowTexts;

class WindowTextsTest : public QObject {
    Q_OBJECT

private slots:
    // The window tests read the other phases' labels on screen.
    void phaseLabels_data() {
        QTest::addColumn<AssistPhase>("phase");
        QTest::addColumn<bool>("isPreparing");
        QTest::addColumn<QString>("text");
        QTest::newRow("idle preparing") << AssistPhase::idle << true << "준비 중";
        QTest::newRow("listening preparing")
            << AssistPhase::listening << true << "상대방 말 듣는 중";
        QTest::newRow("translatingReply")
            << AssistPhase::translatingReply << false << "영어로 바꾸는 중";
        QTest::newRow("playing") << AssistPhase::playing << false << "회의로 보내는 중";
    }
    void phaseLabels() {
        QFETCH(AssistPhase, phase);
        QFETCH(bool, isPreparing);
        QFETCH(QString, text);
        QCOMPARE(phaseText(phase, isPreparing), text);
    }

    void sentAndDoneOnlyAfterPlaybackEndsWhilePlaying() {
        QVERIFY(!sentAndDone(AssistPhase::playing, true));
        QVERIFY(sentAndDone(AssistPhase::playing, false));
        QVERIFY(!sentAndDone(AssistPhase::readyToSend, false));
    }

    void currentStepOrder_data() {
        QTest::addColumn<bool>("hasAnswer");
        QTest::addColumn<bool>("translatingReply");
        QTest::addColumn<AssistPhase>("phase");
        QTest::addColumn<bool>("listening");
        QTest::addColumn<QString>("liveTranslation");
        QTest::addColumn<QString>("transcript");
        QTest::addColumn<int>("step");
        // ContentViewModelTest starts from step 0.
        QTest::newRow("error alone") << false << false << AssistPhase::error << false << ""
                                     << "" << 0;
        QTest::newRow("listening") << false << false << AssistPhase::listening << true << ""
                                   << "" << 1;
        QTest::newRow("caption left") << false << false << AssistPhase::idle << false << ""
                                      << "Hello" << 1;
        QTest::newRow("translation left") << false << false << AssistPhase::idle << false << "안녕"
                                          << "" << 1;
        QTest::newRow("speaking") << false << false << AssistPhase::speakingKorean << false << ""
                                  << "" << 1;
        QTest::newRow("translating reply beats listening")
            << false << true << AssistPhase::translatingReply << true << "안녕"
            << "Hi" << 2;
        QTest::newRow("answer beats speaking")
            << true << false << AssistPhase::speakingKorean << true << ""
            << "" << 2;
    }
    void currentStepOrder() {
        StepInputs inputs;
        QFETCH(bool, hasAnswer);
        inputs.hasEnglishAnswer = hasAnswer;
        QFETCH(bool, translatingReply);
        inputs.isTranslatingReply = translatingReply;
        QFETCH(AssistPhase, phase);
        inputs.phase = phase;
        QFETCH(bool, listening);
        inputs.isListening = listening;
        QFETCH(QString, liveTranslation);
        inputs.liveTranslation = liveTranslation;
        QFETCH(QString, transcript);
        inputs.transcript = transcript;
        QFETCH(int, step);
        QCOMPARE(currentStep(inputs), step);
    }

    void virtualMicrophoneIsSelectedOnlyWhenTheChosenDeviceIsOne() {
        const QList<AudioDevice> both = {{1, QStringLiteral("Speakers")},
                                         {7, QStringLiteral("BlackHole 2ch")}};
        QVERIFY(!isVirtualMicrophoneSelected(both, 1));
        QVERIFY(!isVirtualMicrophoneSelected(both, std::nullopt));
        QVERIFY(!isVirtualMicrophoneSelected(both, 99));
        QVERIFY(isVirtualMicrophoneSelected(both, 7));
    }

    void listenSubtitleNamesTheApplicationWhileListening() {
        const CaptureApplication chrome{12, QStringLiteral("Google Chrome"), {}, {}};
        QCOMPARE(listenSubtitle(true, chrome),
                 QStringLiteral("Google Chrome 소리만 듣고 있어요 · 저장하지 않아요"));
        QCOMPARE(listenSubtitle(true, std::nullopt),
                 QStringLiteral(" 소리만 듣고 있어요 · 저장하지 않아요"));
    }

    void modelStatus_data() {
        using Stage = NemotronDownloadProgress::Stage;
        QTest::addColumn<std::optional<NemotronDownloadProgress>>("progress");
        QTest::addColumn<QString>("text");
        const auto report = [](double fraction, qint64 received = 0, qint64 total = 0,
                               std::optional<std::chrono::seconds> left = std::nullopt,
                               Stage stage = Stage::downloading) {
            return std::optional(
                NemotronDownloadProgress{stage, fraction, received, total, left, {}});
        };
        QTest::newRow("absent") << std::optional<NemotronDownloadProgress>()
                                << "영어 자막 준비 중…";
        QTest::newRow("zero") << report(0.0) << "영어 자막 준비 중…";
        QTest::newRow("truncated") << report(0.427) << "영어 자막 준비 중 42%";
        QTest::newRow("done") << report(1.0) << "영어 자막 준비 중 100%";
        QTest::newRow("bytes, rate unknown") << report(0.5, 1'240'000'000, 2'500'000'000)
                                             << "영어 자막 준비 중 50% · 1.2 GB / 2.5 GB";
        QTest::newRow("minutes left, rounded up")
            << report(0.5, 1'240'000'000, 2'500'000'000, std::chrono::seconds(61))
            << "영어 자막 준비 중 50% · 1.2 GB / 2.5 GB · 약 2분 남음";
        QTest::newRow("seconds left")
            << report(0.99, 2'480'000'000, 2'500'000'000, std::chrono::seconds(7))
            << "영어 자막 준비 중 99% · 2.5 GB / 2.5 GB · 약 7초 남음";
        QTest::newRow("importing") << report(0.4, 0, 0, std::nullopt, Stage::importing)
                                   << "영어 자막 준비 중 40% · 모델 변환 중";
    }
    void modelStatus() {
        QFETCH(std::optional<NemotronDownloadProgress>, progress);
        QFETCH(QString, text);
        QCOMPARE(modelStatusText(progress), text);
        // The Korean model says the same of itself, and nothing when it is not being fetched.
        QCOMPARE(koreanModelStatusText(progress),
                 progress ? QString(text).replace(QStringLiteral("영어 자막 준비 중"),
                                                  QStringLiteral("한국어 인식 모델 받는 중"))
                          : QString());
    }

    void englishCaptionPlaceholders() {
        QCOMPARE(englishCaptionText(QStringLiteral("Hi"), false), QStringLiteral("Hi"));
        QCOMPARE(englishCaptionText({}, true), QStringLiteral("영어가 들리면 여기에 바로 나와요…"));
        QCOMPARE(englishCaptionText({}, false),
                 QStringLiteral("상대방의 영어가 여기에 실시간으로 나와요."));
    }

    void elevenLabsStatusMapping_data() {
        QTest::addColumn<QString>("status");
        QTest::addColumn<QString>("text");
        QTest::newRow("initial") << "Add your API key to use your own ElevenLabs voice."
                                 << "API 키를 넣으면 내 ElevenLabs 목소리를 쓸 수 있어요.";
        QTest::newRow("loading") << "Loading your ElevenLabs voices…"
                                 << "목소리를 불러오는 중이에요…";
        QTest::newRow("connected") << "Connected securely. Output voice: Rachel."
                                   << "연결됐어요 · Rachel";
        QTest::newRow("connected dots") << "Connected securely. Output voice: ..Mr. X.."
                                        << "연결됐어요 · Mr. X";
        QTest::newRow("no voices") << "Connected, but no voices were found."
                                   << "연결됐지만 쓸 수 있는 목소리가 없어요.";
        QTest::newRow("removed") << "ElevenLabs API key removed from the keyring."
                                 << "키링에서 API 키를 지웠어요.";
        QTest::newRow("enter") << "Enter an ElevenLabs API key."
                               << "API 키를 먼저 넣어 주세요.";
        QTest::newRow("other") << "HTTP 401: invalid key"
                               << "HTTP 401: invalid key";
    }
    void elevenLabsStatusMapping() {
        QFETCH(QString, status);
        QFETCH(QString, text);
        QCOMPARE(elevenLabsStatusText(status), text);
    }

    void voiceTileDetails() {
        const QList<LocalVoicePreset>& presets = LocalVoicePreset::all();
        QCOMPARE(voiceTileDetail(presets[0]), QStringLiteral("여성 · 미국 영어"));
        QCOMPARE(voiceTileDetail(presets[1]), QStringLiteral("남성 · 영국 영어"));
        const LocalVoicePreset other{QStringLiteral("karen"), QStringLiteral("Karen · Woman · AU"),
                                     QStringLiteral("Karen")};
        QCOMPARE(voiceTileDetail(other), other.label);
    }
};

QTEST_GUILESS_MAIN(WindowTextsTest)
#include "WindowTextsTest.moc"
