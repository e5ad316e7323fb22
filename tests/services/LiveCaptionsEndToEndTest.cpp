// Live captions end to end with the program's own services: a stand-in meeting application
// plays through the test sound server; the controller listens with the real capture, caption
// service and recognizer (tiny models) and translates through a loopback relay.

#include "app/ProductionServices.h"
#include "app/workflow/AppViewModel.h"
#include "speech-engine/hub/NemotronModelDownloader.h"
#include "tests/services/AudioTestSupport.h"
#include "tests/services/CaptionTestModels.h"
#include "tests/services/FakeHttpService.h"
#include "tests/support/ScopedEnvironment.h"

#include <QTemporaryDir>
#include <QTest>

class LiveCaptionsEndToEndTest : public QObject {
    Q_OBJECT

private:
    QTemporaryDir m_folder;
    FakeHttpService m_relay;
    ScopedEnvironment m_environment;

private slots:
    // The program's own services, with their data and settings here and the relay a fake.
    void initTestCase() {
        m_environment.unset("NEBIUS_TOKEN_FACTORY_KEY");
        m_environment.set("HF_ENDPOINT", "http://127.0.0.1:1");
        m_environment.set("XDG_DATA_HOME", m_folder.filePath("data").toUtf8());
        m_environment.set("XDG_CONFIG_HOME", m_folder.filePath("config").toUtf8());
        m_environment.set("RLY_RELAY_URL", m_relay.url("/v1/complete").toEncoded());
        // Each chunk with sound in it adds the next word; silence adds nothing.
        CaptionTestModels::writeCounting(
            NemotronModelDownloader::variantFolder(Repo::nemotronStreaming560,
                                                   NemotronModelDownloader::defaultModelsRoot()),
            {"▁Hello", "▁team."}, 0.1);
    }

    void meetingSpeechBecomesATranslatedCaption() {
        m_relay.answerJson(200, {{"content", " 안녕하세요, 팀 여러분. "}});
        AppViewModel model(ProductionServices::make());

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
        QCOMPARE(m_relay.requests().last().json().value("text").toString(), "Hello team.");
        runToCompletion(model.stopMeetingListening());
    }
};

QTEST_GUILESS_MAIN(LiveCaptionsEndToEndTest)
#include "LiveCaptionsEndToEndTest.moc"
