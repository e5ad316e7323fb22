// Live captions end to end: a stand-in meeting application plays through the test sound
// server; the workflow controller listens with the real capture, the real caption service and
// recognizer (tiny models, fed whatever blocks the capture delivers) and the translation
// client against a loopback relay.

#include "app/services/audio/AudioOutput.h"
#include "app/services/audio/SystemAudioCapture.h"
#include "app/services/captions/NemotronCaptionRecognizer.h"
#include "app/services/captions/NemotronCaptionService.h"
#include "app/services/keystore/KeychainStore.h"
#include "app/services/network/ElevenLabsClient.h"
#include "app/services/network/NebiusClient.h"
#include "app/services/reply/NemotronSpeechRecognizer.h"
#include "app/services/reply/SpeechRecognitionService.h"
#include "app/workflow/AppViewModel.h"
#include "speech-engine/NemotronModelDownloader.h"
#include "tests/services/AudioTestSupport.h"
#include "tests/services/CaptionTestModels.h"
#include "tests/services/FakeHttpService.h"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

class LiveCaptionsEndToEndTest : public QObject {
    Q_OBJECT

private:
    QTemporaryDir m_folder;

    AppServices services(const FakeHttpService& relay) {
        AppServices services;
        services.meetingSpeech = std::make_unique<NemotronCaptionService>(
            std::make_unique<NemotronCaptionRecognizer>(m_folder.path()));
        services.koreanSpeech = std::make_unique<SpeechRecognitionService>(
            "ko-KR", NemotronSpeechRecognizer::forLocale("ko-KR", m_folder.path()));
        services.audioOutput = std::make_unique<AudioOutput>();
        services.capture = std::make_unique<SystemAudioCapture>();
        services.nebius =
            std::make_unique<NebiusClient>(QUrl("http://127.0.0.1:1"), relay.url("/v1/complete"));
        services.elevenLabs = std::make_unique<ElevenLabsClient>(QUrl("http://127.0.0.1:1"));
        services.keychain = std::make_unique<KeychainStore>();
        services.settings =
            std::make_unique<QSettings>(m_folder.filePath("settings.ini"), QSettings::IniFormat);
        return services;
    }

private slots:
    void initTestCase() {
        qunsetenv("NEBIUS_TOKEN_FACTORY_KEY");
        qputenv("HF_ENDPOINT", "http://127.0.0.1:1");
        // Each chunk with sound in it adds the next word; silence adds nothing.
        CaptionTestModels::writeCounting(
            NemotronModelDownloader::variantFolder(Repo::nemotronStreaming560, m_folder.path()),
            {"▁Hello", "▁team."}, 0.1);
    }

    void meetingSpeechBecomesATranslatedCaption() {
        FakeHttpService relay;
        relay.answerJson(200, {{"content", " 안녕하세요, 팀 여러분. "}});
        AppViewModel model(services(relay));

        const auto tone = audiotest::makeTone(m_folder, 440, 30);
        const auto meeting = audiotest::play(tone, "Stand-in Meeting");
        const qint32 meetingID = qint32(meeting->processId());
        const auto meetingListed = [&model, meetingID] {
            runToCompletion(model.refreshApplications());
            return std::ranges::any_of(
                model.applications(), [meetingID](const auto& app) { return app.id == meetingID; });
        };
        QTRY_VERIFY_WITH_TIMEOUT(meetingListed(), 20000);
        model.setSelectedApplicationID(meetingID);

        runToCompletion(model.startMeetingListening());
        QVERIFY2(model.meetingSpeech().isListening(), qPrintable(model.statusMessage()));

        QTRY_COMPARE_WITH_TIMEOUT(model.translatedEnglishSentence(), QStringLiteral("Hello team."),
                                  60000);
        QCOMPARE(model.liveTranslation(), QStringLiteral("안녕하세요, 팀 여러분."));
        QCOMPARE(model.meetingSpeech().completedSentence(), QStringLiteral("Hello team."));
        QCOMPARE(relay.requests().last().json().value("text").toString(), "Hello team.");

        runToCompletion(model.stopMeetingListening());
        QVERIFY(!model.meetingSpeech().isListening());

        // A new run starts from a reset recognizer: the words come again.
        QSignalSpy transcripts(&model.meetingSpeech(), &INemotronCaptionService::transcriptChanged);
        runToCompletion(model.startMeetingListening());
        QTRY_VERIFY_WITH_TIMEOUT(std::ranges::any_of(transcripts,
                                                     [](const auto& signal) {
                                                         return signal.at(0).toString() ==
                                                                "Hello team.";
                                                     }),
                                 60000);
        runToCompletion(model.stopMeetingListening());
    }
};

QTEST_GUILESS_MAIN(LiveCaptionsEndToEndTest)
#include "LiveCaptionsEndToEndTest.moc"
