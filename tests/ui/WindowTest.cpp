#include "app/ProductionServices.h"
#include "app/RelayoApp.h"
#include "app/services/audio/MicrophoneSource.h"
#include "app/services/audio/SystemAudioCapture.h"
#include "app/services/captions/NemotronCaptionRecognizer.h"
#include "app/services/captions/NemotronCaptionService.h"
#include "app/services/network/ElevenLabsClient.h"
#include "app/services/reply/NemotronSpeechRecognizer.h"
#include "app/services/reply/SpeechRecognitionService.h"
#include "app/ui/ContentViewModel.h"
#include "app/workflow/ScreenshotMode.h"
#include "speech-engine/audio/AudioConverter.h"
#include "speech-engine/hub/NemotronModelDownloader.h"
#include "speech-engine/import/ModelImporter.h"
#include "speech-engine/model-files/NemotronChunkSize.h"
#include "tests/services/AudioTestSupport.h"
#include "tests/services/ChatAnswers.h"
#include "tests/speech-engine/hub/FakeModelHub.h"
#include "tests/speech-engine/import/Npy.h"
#include "tests/support/PrivateKeyring.h"
#include "tests/support/ScopedEnvironment.h"
#include "tests/support/WaitUntil.h"
#include "tests/ui/CountingRecognizer.h"

#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QHttpServer>
#include <QHttpServerResponse>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QQuickItem>
#include <QQuickWindow>
#include <QScopeGuard>
#include <QScreen>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <cmath>

#include <sys/ioctl.h>

namespace {

const QString koreanQuestion =
    QStringLiteral("목요일까지 수정된 일정을 팀과 공유해 주실 수 있나요?");
const QString englishReply =
    QStringLiteral("Yes, I'll organize the revised schedule and share it with the team by "
                   "Thursday morning.");
const QString ko = QStringLiteral("ko-KR");

QString fixturePath(const char* name) {
    return QString::fromStdString(nemoFixturePath(name));
}

// Serves `model` from the hub as the fixture checkpoint `fixture`, under the name it looks for.
void serveModel(FakeModelHub& hub, const HubModel& model, const char* fixture) {
    QFile checkpoint(fixturePath(fixture));
    QVERIFY(checkpoint.open(QIODevice::ReadOnly));
    hub.serveRepository(
        model.repository, model.revision, QString(40, u'a'),
        {{model.repository.section(u'/', -1) + QStringLiteral(".nemo"), checkpoint.readAll()}});
}

float peak(const std::vector<float>& samples) {
    float loudest = 0;
    for (const float sample : samples)
        loudest = std::max(loudest, std::abs(sample));
    return loudest;
}

} // namespace

// Runs the program's window with the production services against a fake
// translation relay, once per screenshot step, and checks what it shows.
class WindowTest : public QObject {
    Q_OBJECT

    QHttpServer relay;
    QTemporaryDir workFolder;
    // The Korean texts sent for translation into English.
    QStringList relayedReplies;
    // The relay also stands in for ElevenLabs, with one voice.
    QUrl relayAddress;
    std::unique_ptr<RelayoApp> app;
    // Where the screenshots are kept, resolved before the test leaves its start folder.
    QDir artifacts;
    ScopedEnvironment environment;
    // The Wayland output before this test showed any window.
    QImage desktop;

    QObject* item(const QString& name) const { return app->window()->findChild<QObject*>(name); }
    QString textOf(const QString& name) const { return item(name)->property("text").toString(); }
    bool shown(const QString& name) const {
        return qobject_cast<QQuickItem*>(item(name))->isVisible();
    }
    bool enabled(const QString& name) const { return item(name)->property("enabled").toBool(); }
    void click(QObject* button) const { QMetaObject::invokeMethod(button, "clicked"); }
    // The share of pixels that differ between two pictures of the same size.
    static double changedShare(const QImage& before, const QImage& after) {
        if (before.size() != after.size() || before.isNull())
            return 0;
        qsizetype changed = 0;
        for (int y = 0; y < before.height(); ++y)
            for (int x = 0; x < before.width(); ++x)
                changed += before.pixel(x, y) != after.pixel(x, y);
        return double(changed) / double(before.width() * before.height());
    }
    static WId idIn(const QString& path) {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? file.readAll().toULongLong() : 0;
    }

    // The production services, with the relay for ElevenLabs; meeting applications running
    // on this machine stay out of the picker.
    AppServices services() {
        AppServices services = ProductionServices::make();
        services.capture =
            std::make_unique<SystemAudioCapture>(QString(), workFolder.filePath("no-processes"));
        services.elevenLabs = std::make_unique<ElevenLabsClient>(relayAddress);
        return services;
    }

    // Starts the window for `step` and waits until it has prepared and applied it; the
    // Korean recognizer's models are under `koreanModels` when given, and it counts in `heard`
    // the samples it was given that are not silence.
    void launch(const QString& step, const QString& koreanModels = {},
                std::shared_ptr<std::atomic<qint64>> heard = {}) {
        AppServices production = services();
        if (!koreanModels.isEmpty())
            production.koreanSpeech = std::make_unique<SpeechRecognitionService>(
                ko, std::make_unique<CountingRecognizer>(
                        NemotronSpeechRecognizer::forLocale(ko, koreanModels), std::move(heard)));
        launch(step, std::move(production));
    }

    void launch(const QString& step, AppServices services) {
        environment.set("RLY_SHOT", step.toUtf8());
        environment.set("RLY_SHOT_OUT",
                        workFolder.filePath(QStringLiteral("window-%1").arg(step)).toUtf8());
        app = std::make_unique<RelayoApp>(std::move(services));
        QSignalSpy ready(app.get(), &RelayoApp::ready);
        QVERIFY(app->show());
        // Over services that answer at once, start-up may have finished inside show().
        QTRY_VERIFY_WITH_TIMEOUT(!ready.isEmpty(), 60'000);
        QVERIFY(QTest::qWaitForWindowExposed(app->window()));
    }

    static bool onWayland() { return QGuiApplication::platformName() == QStringLiteral("wayland"); }

    // The whole Wayland output, as the compositor shows it (weston-screenshooter, which the
    // test compositor allows); a null image when it could not be taken.
    static QImage compositorScreenshot() {
        QTemporaryDir folder;
        QProcess shooter;
        shooter.setWorkingDirectory(folder.path());
        shooter.start(QStringLiteral("weston-screenshooter"));
        // A shot waits for the output's next frame, which an idle compositor may not draw soon:
        // the caller tries again.
        if (!shooter.waitForFinished(20'000)) {
            shooter.kill();
            shooter.waitForFinished();
            return {};
        }
        const QStringList shots = QDir(folder.path()).entryList({QStringLiteral("*.png")});
        return shots.isEmpty() ? QImage() : QImage(folder.filePath(shots.first()));
    }

    // Checks that RLY_SHOT_OUT names the window on the display (an X server's window can be
    // grabbed by its id; a Wayland window only shows), and keeps the window's current picture.
    void capture(const QString& step, const QString& name) {
        const WId id = idIn(workFolder.filePath(QStringLiteral("window-%1").arg(step)));
        QCOMPARE(id, app->window()->winId());
        if (onWayland())
            QTRY_VERIFY_WITH_TIMEOUT(app->window()->isExposed(), 10'000);
        else
            QTRY_COMPARE_WITH_TIMEOUT(app->window()->screen()->grabWindow(id).width(),
                                      app->window()->width(), 10'000);
        QVERIFY(app->window()->grabWindow().save(artifacts.filePath(name)));
    }

private slots:
    void initTestCase() {
        // One folder per display ("xcb", "wayland"), each with the same screenshots.
        artifacts.setPath(QDir(qEnvironmentVariable("RELAYO_TEST_ARTIFACTS", QDir::tempPath()))
                              .absoluteFilePath(QGuiApplication::platformName()));
        QVERIFY(artifacts.mkpath(QStringLiteral(".")));
        if (onWayland())
            WAIT_UNTIL(!(desktop = compositorScreenshot()).isNull(), "a picture of the output");
        // No key anywhere: every translation goes to the relay.
        environment.unset("NEBIUS_TOKEN_FACTORY_KEY");
        QVERIFY(QDir::setCurrent(workFolder.path()));
        relay.route(QStringLiteral("/v1/complete"), QHttpServerRequest::Method::Post,
                    [this](const QHttpServerRequest& request) {
                        const QJsonObject body = QJsonDocument::fromJson(request.body()).object();
                        const QString kind = body.value(QStringLiteral("kind")).toString();
                        if (kind == QStringLiteral("ko-en"))
                            relayedReplies << body.value(QStringLiteral("text")).toString();
                        return QHttpServerResponse(QJsonObject{
                            {QStringLiteral("content"),
                             kind == QStringLiteral("en-ko") ? koreanQuestion : englishReply}});
                    });
        relay.route(QStringLiteral("/v2/voices"), [] {
            return QJsonDocument::fromJson(R"({"voices": [{"voice_id": "v1", "name": "Mina"}]})")
                .object();
        });
        const quint16 port = relay.listen(QHostAddress::LocalHost);
        QVERIFY(port != 0);
        relayAddress = QUrl(QStringLiteral("http://127.0.0.1:%1").arg(port));
        environment.set("RLY_RELAY_URL",
                        QStringLiteral("http://127.0.0.1:%1/v1/complete").arg(port).toUtf8());
    }

    void cleanup() { app.reset(); }

    // Each screenshot step: the question translated through the relay, and the step's own text.
    void windowShowsEachStep_data() {
        QTest::addColumn<QString>("step");
        QTest::addColumn<QString>("korean");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("text");
        QTest::newRow("empty window")
            << "1" << QStringLiteral("듣기를 시작하면 상대방 말이 한국어로 나와요.")
            << "englishEditor" << QString();
        // The silence timer translates the caption again and names its sentence.
        QTest::newRow("listening") << "2" << koreanQuestion << "translatedEnglishText"
                                   << ScreenshotMode::englishQuestion();
        QTest::newRow("hearing the reply")
            << "3" << koreanQuestion << "koreanReplyBlock" << ScreenshotMode::koreanReply();
        QTest::newRow("answer ready") << "4" << koreanQuestion << "englishEditor" << englishReply;
    }

    void windowShowsEachStep() {
        QFETCH(QString, step);
        QFETCH(QString, korean);
        QFETCH(QString, name);
        QFETCH(QString, text);
        launch(step);
        QCOMPARE(textOf(QStringLiteral("koreanTranslationText")), korean);
        WAIT_COMPARE(textOf(name), text, "the step's text");
        capture(step, QStringLiteral("window-step-%1.png").arg(step));
    }

    void errorPhaseShowsItsNotice() {
        launch(QStringLiteral("1"));
        // There is no Korean speech model and the hub is out of reach (the test services close
        // it), so the reply's model download fails and ends the reply with a Korean reason,
        // in place of the offer of the missing models, and offers to fetch them again.
        click(item(QStringLiteral("replyButton")));
        QObject* notice = item(QStringLiteral("statusNotice"));
        WAIT_UNTIL(notice->findChild<QObject*>("noticeTitle")
                       ->property("text")
                       .toString()
                       .startsWith(QStringLiteral("한국어 음성 모델을 준비하지 못해")),
                   "the notice of the failed reply");
        QVERIFY(shown(QStringLiteral("statusNotice")));
        QCOMPARE(notice->findChild<QObject*>("noticeAction")->property("text").toString(),
                 QStringLiteral("다시 받기"));
        capture(QStringLiteral("1"), QStringLiteral("window-error.png"));
    }

    // The send buttons need an English answer. In the ElevenLabs group "연결" needs a key, a
    // stored key offers "키 삭제", and "이 목소리 쓰기" needs a chosen voice.
    void buttonsEnableWhatCanBeDone() {
        launch(QStringLiteral("1"));
        QObject* editor = item(QStringLiteral("englishEditor"));
        for (const QString& text : {QStringLiteral(" \n\t "), QString(), englishReply}) {
            editor->setProperty("text", text);
            for (const QString& button :
                 {QStringLiteral("sendButton"), QStringLiteral("previewButton")})
                QCOMPARE(enabled(button), text == englishReply);
        }
        app->content().openSettings();
        WAIT_UNTIL(item(QStringLiteral("connectButton")), "the settings' connect button");
        for (const QString& key : {QString(), QStringLiteral("  \n ")}) {
            app->content().setElevenLabsAPIKey(key);
            QVERIFY(!enabled(QStringLiteral("connectButton")));
        }
        // Connecting stores the key.
        REQUIRE_PRIVATE_KEYRING();
        app->content().setElevenLabsAPIKey(QStringLiteral("window-test-key"));
        QVERIFY(enabled(QStringLiteral("connectButton")));
        click(item(QStringLiteral("connectButton")));
        QTRY_VERIFY_WITH_TIMEOUT(shown(QStringLiteral("forgetKeyButton")), 60'000);
        QVERIFY(enabled(QStringLiteral("forgetKeyButton")));
        WAIT_UNTIL(enabled(QStringLiteral("useElevenLabsVoiceButton")), "the listed voice");
        app->content().chooseElevenLabsVoice(QVariant());
        QVERIFY(!enabled(QStringLiteral("useElevenLabsVoiceButton")));
        click(item(QStringLiteral("forgetKeyButton")));
        QTRY_VERIFY_WITH_TIMEOUT(shown(QStringLiteral("connectButton")), 60'000);
        QVERIFY(!enabled(QStringLiteral("connectButton")));
    }

    // What is typed in the translation group reaches the client: with no variable set the next
    // translation goes to the server chosen there, with its key, which is not shown again.
    void translatesThroughTheServerChosenInTheSettings() {
        REQUIRE_PRIVATE_KEYRING();
        QHttpServer server;
        QByteArray authorization;
        server.route(QStringLiteral("/v1/chat/completions"), QHttpServerRequest::Method::Post,
                     [&authorization](const QHttpServerRequest& request) {
                         authorization = request.value("Authorization");
                         return QHttpServerResponse(ChatAnswers::whole(koreanQuestion));
                     });
        const quint16 port = server.listen(QHostAddress::LocalHost);
        ScopedEnvironment withoutRelay;
        withoutRelay.unset("RLY_RELAY_URL");
        launch(QStringLiteral("1"));
        app->content().openSettings();
        WAIT_UNTIL(item(QStringLiteral("serverUrlField")), "the translation settings");
        item(QStringLiteral("translationGroup"))->setProperty("service", 2);
        item(QStringLiteral("serverUrlField"))
            ->setProperty("text", QStringLiteral("http://127.0.0.1:%1/v1").arg(port));
        item(QStringLiteral("serverKeyField"))->setProperty("text", "window-server-key");
        click(item(QStringLiteral("saveTranslationButton")));
        TranslationSettingsController& settings = app->content().model().translationSettings();
        QTRY_VERIFY_WITH_TIMEOUT(settings.hasServerKey(), 60'000);
        QCOMPARE(textOf(QStringLiteral("serverKeyField")), QString());
        const auto korean =
            QCoro::waitFor(app->content().model().nebius().translateToKorean("Hello"));
        QCOMPARE(korean, koreanQuestion);
        QCOMPARE(authorization, "Bearer window-server-key");
        QCoro::waitFor(settings.save({}));
    }

    // Every heading and line of the guide is a row of its sheet; the title is not.
    void guideSheetShowsEveryRowButTheTitle() {
        launch(QStringLiteral("1"));
        QStringList expected, rows;
        for (const QVariant& block : app->content().guideBlocks())
            if (const QVariantMap row = block.toMap();
                row["kind"] == "heading" || row["kind"] == "line")
                expected << row["text"].toString();
        app->content().openGuide();
        WAIT_UNTIL(item(QStringLiteral("guideSheet"))->property("visible").toBool(),
                   "the guide sheet");
        for (QQuickItem* loader : qobject_cast<QQuickItem*>(item("guideRows"))->childItems())
            if (const auto* row = loader->property("item").value<QObject*>();
                row && row->property("text").isValid())
                rows << row->property("text").toString();
        QCOMPARE(rows, expected);
    }

    // The reply step end to end: the multilingual fixture's audio spoken into the microphone
    // (a pipe source: exactly the fixture's samples), recognised with the Korean model imported
    // from it, shown whole and translated as shown.
    void replyFromTheMicrophoneIsShownAndTranslatedWhole() {
        const auto fixture = fixturePath;
        QTemporaryDir models;
        ModelImporter::importCheckpoint(
            nemoFixturePath("small-multi.nemo"),
            NemotronModelDownloader::modelFolder(HubModel::korean(), models.path()).toStdString(),
            {.precision = ModelPrecision::fp32, .locale = "ko-KR", .source = {}});
        QFile reference(fixture("multi/stream_560ms/text.txt"));
        QVERIFY(reference.open(QIODevice::ReadOnly));
        const QString expected = QString::fromUtf8(reference.readAll());
        std::vector<float> speech = AudioConverter().resampleAudioFile(fixture("input.wav"));
        // Silence up to a whole number of the microphone's buffers: every spoken sample then
        // reaches the recognizer while it listens, none waits for the last, shorter buffer.
        const auto buffer = std::size_t(MicrophoneSource::framesPerBuffer);
        speech.resize((speech.size() + buffer - 1) / buffer * buffer);
        const auto spoken = std::ranges::count_if(speech, [](float sample) { return sample != 0; });

        const QString feed = workFolder.filePath(QStringLiteral("reply-feed"));
        const QString module =
            audiotest::pactl({"load-module", "module-pipe-source", "source_name=reply_feed",
                              "file=" + feed, "format=float32le", "rate=16000", "channels=1"})
                .trimmed();
        const auto restore = qScopeGuard([module] {
            audiotest::makeDefaultSource("test_mic");
            audiotest::pactl({"unload-module", module});
        });
        QVERIFY(audiotest::makeDefaultSource("reply_feed"));
        // Held open, the pipe gives the microphone nothing but what is written to it.
        QFile microphone(feed);
        QVERIFY(microphone.open(QIODevice::WriteOnly | QIODevice::Unbuffered));

        relayedReplies.clear();
        const auto heard = std::make_shared<std::atomic<qint64>>(0);
        launch(QStringLiteral("1"), models.path(), heard);
        click(item(QStringLiteral("replyButton")));
        WAIT_UNTIL(
            audiotest::pactl({"list", "short", "source-outputs"}).contains("float32le 1ch 16000Hz"),
            "the reply's recording stream");
        const auto bytes = qint64(speech.size() * sizeof(float));
        QCOMPARE(microphone.write(reinterpret_cast<const char*>(speech.data()), bytes), bytes);
        // Finishing keeps only the audio recorded by then.
        WAIT_UNTIL(*heard >= spoken, "the recognizer to hear every spoken sample");
        // The text of all but the last chunk shows while listening; the rest is in flight.
        QTRY_VERIFY_WITH_TIMEOUT(!textOf(QStringLiteral("koreanReplyBlock")).isEmpty(), 60'000);

        click(item(QStringLiteral("finishReplyButton")));
        QTRY_COMPARE_WITH_TIMEOUT(textOf(QStringLiteral("englishEditor")), englishReply, 60'000);
        // PipeWire's pipe source plays silence until the pipe has sound, so there the recording
        // starts later in the model's chunks and the tiny model hears other words.
        if (!audiotest::onPipeWire())
            QCOMPARE(textOf(QStringLiteral("koreanReplyBlock")), expected);
        QCOMPARE(relayedReplies, QStringList{textOf(QStringLiteral("koreanReplyBlock"))});
    }

    // On X11 the program's window is grabbed by the id it wrote; on Wayland, where no client
    // sees another's window, the compositor's picture of the output shows it.
    void theProgramWritesItsWindowID() {
        const QString idPath = workFolder.filePath(QStringLiteral("program-window"));
        environment.set("RLY_SHOT", "4");
        environment.set("RLY_SHOT_OUT", idPath.toUtf8());
        QProcess program;
        program.start(QStringLiteral(RELAYO_APP_PATH));
        WId id = 0;
        WAIT_UNTIL((id = idIn(idPath)) != 0, "the program's window id");
        QImage image;
        // Each picture takes a while on a loaded machine: the deadline counts time, not tries.
        if (onWayland()) {
            QVERIFY(!desktop.isNull());
            // The window covers about half the output; the panel's clock changes a few pixels.
            WAIT_UNTIL(changedShare(desktop, image = compositorScreenshot()) > 0.25,
                       "the program's window on the output");
        } else {
            const int height = QGuiApplication::primaryScreen()->availableGeometry().height() - 20;
            WAIT_UNTIL(
                (image = QGuiApplication::primaryScreen()->grabWindow(id).toImage()).height() ==
                    height,
                "the program's whole window");
        }
        QVERIFY(image.save(artifacts.filePath(QStringLiteral("program-step-4.png"))));
        program.terminate();
        QVERIFY(program.waitForFinished(10'000));
    }

    // A first meeting on a fresh machine: an empty model cache, the model hub and the
    // translation relay on loopback, a meeting client on the test sound server. Listening
    // fetches and imports the caption model with progress; the client's speech is captioned and
    // translated; the first reply fetches the Korean model with progress while the microphone
    // records; the reply is recognised, translated, voiced and sent, and the virtual
    // microphone's input, recorded as the meeting client would, carries the voice.
    void wholeFirstMeeting() {
        FakeModelHub hub;
        serveModel(hub, HubModel::english(NemotronChunkSize(NemotronChunkSize::ms560).repo()),
                   "small-en.nemo");
        serveModel(hub, HubModel::korean(), "small-multi.nemo");
        ScopedEnvironment hubAddress;
        hubAddress.set("HF_ENDPOINT", hub.baseURL().toUtf8());
        QTemporaryDir models;
        AppServices fresh = services();
        fresh.meetingSpeech = std::make_unique<NemotronCaptionService>(
            std::make_unique<NemotronCaptionRecognizer>(models.path()));
        fresh.koreanSpeech = std::make_unique<SpeechRecognitionService>(
            ko, NemotronSpeechRecognizer::forLocale(ko, models.path()));
        const QString speech = fixturePath("input.wav");
        const auto meeting = audiotest::silentClient(QStringLiteral("Zoom"));
        relayedReplies.clear();
        launch(QStringLiteral("1"), std::move(fresh));
        AppViewModel& model = app->content().model();
        // Whether each model's fetch reported its progress.
        QObject watcher;
        bool captionProgress = false, replyProgress = false;
        connect(&model.meetingSpeech(), &INemotronCaptionService::modelProgressChanged, &watcher,
                [&](std::optional<double> fraction) { captionProgress |= fraction.has_value(); });
        connect(&model.koreanSpeech(), &ISpeechRecognitionService::modelProgressChanged, &watcher,
                [&](const std::optional<NemotronDownloadProgress>& report) {
                    replyProgress |= report.has_value();
                });
        QObject* notice = item(QStringLiteral("statusNotice"));
        QCOMPARE(notice->findChild<QObject*>("noticeAction")->property("text").toString(),
                 QStringLiteral("모델 받기 (약 5GB)"));

        // Listening: the caption model is fetched and imported, then the client speaks.
        QTRY_VERIFY_WITH_TIMEOUT(enabled(QStringLiteral("listenButton")), 30'000);
        QCOMPARE(model.selectedApplication()->title, QStringLiteral("Zoom"));
        click(item(QStringLiteral("listenButton")));
        QTRY_VERIFY_WITH_TIMEOUT(model.phase() == AssistPhase::listening, 300'000);
        QVERIFY(captionProgress);
        const auto talk = audiotest::play(speech, QStringLiteral("Zoom"), {}, meeting->processId());
        QTRY_VERIFY_WITH_TIMEOUT(!model.meetingSpeech().transcript().isEmpty(), 60'000);
        QTRY_COMPARE_WITH_TIMEOUT(textOf(QStringLiteral("koreanTranslationText")), koreanQuestion,
                                  60'000);

        // The first reply: the Korean model is fetched while the microphone records what is
        // said, and what was said is recognised once it is there.
        click(item(QStringLiteral("replyButton")));
        WAIT_UNTIL(model.koreanSpeech().isListening(), "the microphone recording the reply");
        const QString saying = workFolder.filePath(QStringLiteral("saying.wav"));
        QCOMPARE(QProcess::execute("sox", {speech, saying, "repeat", "20"}), 0);
        auto reply = audiotest::play(saying, QStringLiteral("Reply"), {"--device=mic_feed"});
        QTRY_VERIFY_WITH_TIMEOUT(!textOf(QStringLiteral("koreanReplyBlock")).isEmpty() &&
                                     textOf(QStringLiteral("koreanReplyBlock")) != "…",
                                 300'000);
        QVERIFY(replyProgress);
        QVERIFY(model.koreanSpeech().hasModel());
        click(item(QStringLiteral("finishReplyButton")));
        reply.reset();
        QTRY_COMPARE_WITH_TIMEOUT(textOf(QStringLiteral("englishEditor")), englishReply, 60'000);
        QCOMPARE(relayedReplies, QStringList{textOf(QStringLiteral("koreanReplyBlock"))});
        QTRY_VERIFY_WITH_TIMEOUT(model.phase() == AssistPhase::readyToSend, 60'000);

        // Sent into the virtual microphone, which the meeting client records.
        app->content().createVirtualMicrophone();
        QTRY_VERIFY_WITH_TIMEOUT(app->content().isVirtualMicrophoneSelected(), 30'000);
        audiotest::SourceRecording meetingMicrophone(
            QStringLiteral("relayo_virtual_microphone_input"));
        click(item(QStringLiteral("sendButton")));
        QTRY_VERIFY_WITH_TIMEOUT(peak(meetingMicrophone.samples()) > 0.05f, 60'000);
        QCOMPARE(model.phase(), AssistPhase::playing);
    }
};

QTEST_MAIN(WindowTest)
#include "WindowTest.moc"
