#include "app/ProductionServices.h"
#include "app/RelayoApp.h"
#include "app/services/audio/SystemAudioCapture.h"
#include "app/services/network/ElevenLabsClient.h"
#include "app/services/reply/NemotronSpeechRecognizer.h"
#include "app/services/reply/SpeechRecognitionService.h"
#include "app/ui/ContentViewModel.h"
#include "app/ui/Theme.h"
#include "app/workflow/ScreenshotMode.h"
#include "speech-engine/AudioConverter.h"
#include "speech-engine/NemotronModelDownloader.h"
#include "speech-engine/import/ModelImporter.h"
#include "tests/services/AudioTestSupport.h"
#include "tests/speech-engine/import/Npy.h"

#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QHttpServer>
#include <QHttpServerResponse>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPointer>
#include <QProcess>
#include <QQuickItem>
#include <QQuickWindow>
#include <QScopeGuard>
#include <QScreen>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <sys/ioctl.h>

namespace {

const QString koreanQuestion =
    QStringLiteral("목요일까지 수정된 일정을 팀과 공유해 주실 수 있나요?");
const QString englishReply =
    QStringLiteral("Yes, I'll organize the revised schedule and share it with the team by "
                   "Thursday morning.");

} // namespace

// Runs the program's window with the production services against a fake
// translation relay, once per screenshot step, and checks what it shows.
class WindowTest : public QObject {
    Q_OBJECT

    QHttpServer relay;
    QTemporaryDir workFolder;
    QStringList relayKinds;
    // The Korean texts sent for translation into English.
    QStringList relayedReplies;
    // The relay also stands in for ElevenLabs, with one voice.
    QUrl relayAddress;
    std::unique_ptr<RelayoApp> app;
    // Where the screenshots are kept, resolved before the test leaves its start folder.
    QDir artifacts;

    QString artifactPath(const QString& name) const { return artifacts.filePath(name); }

    QObject* item(const QString& name) const {
        QObject* found = app->window()->findChild<QObject*>(name);
        if (!found)
            qWarning() << "no item named" << name;
        return found;
    }
    QString textOf(const QString& name) const { return item(name)->property("text").toString(); }
    QString textOf(QObject* parent, const QString& name) const {
        return parent->findChild<QObject*>(name)->property("text").toString();
    }
    bool shown(const QString& name) const {
        return qobject_cast<QQuickItem*>(item(name))->isVisible();
    }

    // Starts the window for `step` and waits until it has prepared and applied it; the
    // Korean recognizer's models are under `koreanModels` when given.
    void launch(const QString& step, const QString& koreanModels = {}) {
        qputenv("RLY_SHOT", step.toUtf8());
        qputenv("RLY_SHOT_OUT",
                workFolder.filePath(QStringLiteral("window-%1").arg(step)).toUtf8());
        AppServices services = ProductionServices::make();
        // Meeting applications running on this machine stay out of the picker.
        services.capture =
            std::make_unique<SystemAudioCapture>(QString(), workFolder.filePath("no-processes"));
        services.elevenLabs = std::make_unique<ElevenLabsClient>(relayAddress);
        if (!koreanModels.isEmpty())
            services.koreanSpeech = std::make_unique<SpeechRecognitionService>(
                QStringLiteral("ko-KR"),
                NemotronSpeechRecognizer::forLocale(QStringLiteral("ko-KR"), koreanModels));
        app = std::make_unique<RelayoApp>(std::move(services));
        QSignalSpy ready(app.get(), &RelayoApp::ready);
        QVERIFY(app->show());
        QVERIFY(ready.wait(60'000));
        QVERIFY(QTest::qWaitForWindowExposed(app->window()));
    }

    // Checks that RLY_SHOT_OUT names the sized window on the X server, and keeps
    // the window's current picture.
    void capture(const QString& step, const QString& name) {
        QFile idFile(workFolder.filePath(QStringLiteral("window-%1").arg(step)));
        QVERIFY(idFile.open(QIODevice::ReadOnly));
        const WId id = idFile.readAll().toULongLong();
        QCOMPARE(id, app->window()->winId());
        const QRect screen = app->window()->screen()->availableGeometry();
        // The whole frame, title bar included, is sized (without a window manager the frame is
        // the window itself).
        const QRect frame(screen.x() + 40, screen.y() + 10,
                          qRound((screen.height() - 20) * 3.0 / 4.0), screen.height() - 20);
        QTRY_COMPARE(app->window()->frameGeometry(), frame);
        QTRY_COMPARE_WITH_TIMEOUT(app->window()->screen()->grabWindow(id).width(),
                                  app->window()->width(), 10'000);
        QVERIFY(app->window()->grabWindow().save(artifactPath(name)));
    }

private slots:
    void initTestCase() {
        QVERIFY(workFolder.isValid());
        artifacts.setPath(
            QDir(qEnvironmentVariable("RELAYO_TEST_ARTIFACTS", QDir::tempPath())).absolutePath());
        QVERIFY(artifacts.mkpath(QStringLiteral(".")));
        // No key anywhere: every translation goes to the relay.
        qunsetenv("NEBIUS_TOKEN_FACTORY_KEY");
        QVERIFY(QDir::setCurrent(workFolder.path()));
        relay.route(QStringLiteral("/v1/complete"), QHttpServerRequest::Method::Post,
                    [this](const QHttpServerRequest& request) {
                        const QJsonObject body = QJsonDocument::fromJson(request.body()).object();
                        const QString kind = body.value(QStringLiteral("kind")).toString();
                        relayKinds << kind;
                        if (kind == QStringLiteral("ko-en"))
                            relayedReplies << body.value(QStringLiteral("text")).toString();
                        return QHttpServerResponse(QJsonObject{
                            {QStringLiteral("content"),
                             kind == QStringLiteral("en-ko") ? koreanQuestion : englishReply}});
                    });
        relay.route(QStringLiteral("/v2/voices"), [] {
            return QJsonObject{{QStringLiteral("voices"),
                                QJsonArray{QJsonObject{{QStringLiteral("voice_id"), "v1"},
                                                       {QStringLiteral("name"), "Mina"}}}}};
        });
        const quint16 port = relay.listen(QHostAddress::LocalHost);
        QVERIFY(port != 0);
        relayAddress = QUrl(QStringLiteral("http://127.0.0.1:%1").arg(port));
        qputenv("RLY_RELAY_URL",
                QStringLiteral("http://127.0.0.1:%1/v1/complete").arg(port).toUtf8());
    }

    void cleanup() { app.reset(); }

    void cleanupTestCase() {
        qunsetenv("RLY_SHOT");
        qunsetenv("RLY_SHOT_OUT");
    }

    void stepOneIsTheEmptyWindow() {
        launch(QStringLiteral("1"));
        QCOMPARE(app->window()->title(), QStringLiteral("Relayo"));
        QCOMPARE(app->window()->minimumWidth(), 600);
        QCOMPARE(textOf(QStringLiteral("listenButton")), QStringLiteral("듣기 시작"));
        // No meeting application plays sound under test, so nothing can be chosen.
        QVERIFY(!item(QStringLiteral("listenButton"))->property("enabled").toBool());
        QCOMPARE(textOf(item(QStringLiteral("meetingAppPicker")), QStringLiteral("selectBoxTitle")),
                 QStringLiteral("Chrome이나 Zoom을 골라 주세요"));
        QCOMPARE(textOf(QStringLiteral("koreanTranslationText")),
                 QStringLiteral("듣기를 시작하면 상대방 말이 한국어로 나와요."));
        QVERIFY(!shown(QStringLiteral("englishCaptionBlock")));
        QCOMPARE(textOf(QStringLiteral("phaseLabel")), QStringLiteral("준비됐어요"));
        QVERIFY(!shown(QStringLiteral("statusNotice")));
        QCOMPARE(item(QStringLiteral("stepOne"))
                     ->findChild<QObject*>("stepBadge")
                     ->property("color")
                     .value<QColor>(),
                 Theme::blue);
        capture(QStringLiteral("1"), QStringLiteral("window-step-1.png"));
    }

    void errorPhaseShowsItsNotice() {
        launch(QStringLiteral("1"));
        // There is no Korean speech model and the hub is out of reach (the test services close
        // it), so the reply's model download fails and ends the reply.
        QMetaObject::invokeMethod(item(QStringLiteral("replyButton")), "clicked");
        QTRY_VERIFY(shown(QStringLiteral("statusNotice")));
        QCOMPARE(textOf(QStringLiteral("phaseLabel")), QStringLiteral("확인이 필요해요"));
        // The reply step says in Korean why it stopped, with the download's own words after it.
        const QString title = textOf(item(QStringLiteral("statusNotice")), "noticeTitle");
        QCOMPARE(title, app->content().model().statusMessage());
        QVERIFY(title.startsWith(QStringLiteral("한국어 음성 모델을 준비하지 못해")));
        capture(QStringLiteral("1"), QStringLiteral("window-error.png"));
    }

    void stepTwoListensToTheQuestion() {
        launch(QStringLiteral("2"));
        QCOMPARE(textOf(QStringLiteral("phaseLabel")), QStringLiteral("상대방 말 듣는 중"));
        QVERIFY(shown(QStringLiteral("stopListeningButton")));
        QVERIFY(!shown(QStringLiteral("listenButton")));
        QCOMPARE(textOf(QStringLiteral("koreanTranslationText")), koreanQuestion);
        QObject* caption = item(QStringLiteral("englishCaptionBlock"));
        QCOMPARE(caption->property("label").toString(), QStringLiteral("지금 들리는 영어"));
        QCOMPARE(caption->property("text").toString(), ScreenshotMode::englishQuestion());
        // The silence timer translates the caption again and names its sentence.
        QTRY_COMPARE(textOf(QStringLiteral("translatedEnglishText")),
                     ScreenshotMode::englishQuestion());
        QVERIFY(relayKinds.contains(QStringLiteral("en-ko")));
        capture(QStringLiteral("2"), QStringLiteral("window-step-2.png"));
    }

    void stepThreeHearsTheKoreanReply() {
        launch(QStringLiteral("3"));
        QCOMPARE(textOf(QStringLiteral("phaseLabel")), QStringLiteral("내 한국어 듣는 중"));
        QCOMPARE(textOf(QStringLiteral("koreanReplyBlock")), ScreenshotMode::koreanReply());
        QCOMPARE(textOf(QStringLiteral("koreanTranslationText")), koreanQuestion);
        QVERIFY(shown(QStringLiteral("listenButton")));
        QVERIFY(shown(QStringLiteral("finishReplyButton")));
        QVERIFY(shown(QStringLiteral("cancelReplyButton")));
        QCOMPARE(item(QStringLiteral("englishCaptionBlock"))->property("label").toString(),
                 QStringLiteral("마지막으로 들은 영어"));
        QCOMPARE(item(QStringLiteral("stepTwo"))
                     ->findChild<QObject*>("stepBadge")
                     ->property("color")
                     .value<QColor>(),
                 Theme::blue);
        QTRY_VERIFY(shown(QStringLiteral("translatedEnglishText")));
        capture(QStringLiteral("3"), QStringLiteral("window-step-3.png"));
    }

    void stepFourOffersTheEnglishAnswer() {
        launch(QStringLiteral("4"));
        QCOMPARE(textOf(QStringLiteral("phaseLabel")), QStringLiteral("보낼 준비 완료"));
        QCOMPARE(textOf(QStringLiteral("koreanReplyBlock")), ScreenshotMode::koreanReply());
        QCOMPARE(textOf(QStringLiteral("englishEditor")), englishReply);
        QCOMPARE(item(QStringLiteral("stepThreeBadge"))->property("color").value<QColor>(),
                 Theme::blue);
        QVERIFY(item(QStringLiteral("sendButton"))->property("enabled").toBool());
        QVERIFY(item(QStringLiteral("previewButton"))->property("enabled").toBool());
        // The step's button is swapped for its secondary form once step 3 is active.
        QTRY_COMPARE(textOf(QStringLiteral("replyButton")), QStringLiteral("다시 말하기"));
        QVERIFY(relayKinds.contains(QStringLiteral("ko-en")));
        QTRY_VERIFY(shown(QStringLiteral("translatedEnglishText")));
        capture(QStringLiteral("4"), QStringLiteral("window-step-4.png"));
    }

    // The texts that name what the program does on Linux: it makes its own virtual microphone.
    void virtualMicrophoneTextsSayWhatTheProgramDoes() {
        launch(QStringLiteral("1"));
        // The test sound server has no virtual microphone yet.
        QObject* setup = item(QStringLiteral("virtualMicrophoneSetup"));
        QVERIFY(shown(QStringLiteral("virtualMicrophoneSetup")));
        QObject* notice = setup->findChild<QObject*>(QStringLiteral("virtualMicrophoneNotice"));
        QCOMPARE(textOf(notice, QStringLiteral("noticeTitle")),
                 QStringLiteral("회의로 보내려면 가상 마이크가 필요해요"));
        QCOMPARE(textOf(notice, QStringLiteral("noticeDetail")),
                 QStringLiteral("가상 마이크는 앱의 영어 목소리를 Meet·Zoom 마이크로 보내는 "
                                "통로예요. 만들기를 누르면 앱이 소리 서버에 바로 만들어 골라 둬요. "
                                "미리 듣기는 없어도 돼요."));
        QCOMPARE(textOf(notice, QStringLiteral("noticeAction")),
                 QStringLiteral("가상 마이크 만들기"));
        QCOMPARE(textOf(setup, QStringLiteral("virtualMicrophoneCommandLead")),
                 QStringLiteral("직접 만들려면 터미널에서"));
        QCOMPARE(textOf(QStringLiteral("meetingMicFix")),
                 QStringLiteral("가상 마이크를 만들어야 회의로 보낼 수 있어요"));
    }

    void settingsSheetIsNewEachTimeItOpens() {
        launch(QStringLiteral("1"));
        app->content().openSettings();
        QTRY_VERIFY(item(QStringLiteral("settingsVirtualMicrophoneSetup")));
        QCOMPARE(item(QStringLiteral("microphoneGroup"))->property("note").toString(),
                 QStringLiteral("Meet·Zoom의 마이크를 Relayo Virtual Microphone으로 바꾸고, "
                                "여기서도 Relayo Virtual Microphone을 고르면 상대방에게 들려요."));
        QCOMPARE(item(QStringLiteral("voiceGroup"))->property("note").toString(),
                 QStringLiteral("무료 eSpeak NG 음성이에요. 미리 듣기와 회의로 보내기에 같은 "
                                "목소리를 써요."));
        QCOMPARE(item(QStringLiteral("elevenLabsGroup"))->property("note").toString(),
                 QStringLiteral("선택 기능이에요. 유료 서비스이고, API 키는 이 컴퓨터의 키링에만 "
                                "저장돼요."));
        QVERIFY(qobject_cast<QQuickItem*>(item(QStringLiteral("settingsAppPicker")))->width() <=
                200);

        QPointer<QObject> first = item(QStringLiteral("settingsVirtualMicrophoneSetup"));
        QObject* copy = first->findChild<QObject*>(QStringLiteral("copyCommandButton"));
        QMetaObject::invokeMethod(copy, "clicked");
        QCOMPARE(copy->property("text").toString(), QStringLiteral("복사했어요"));
        app->content().closeSheet();
        QTRY_VERIFY(!first);

        app->content().openSettings();
        QTRY_VERIFY(item(QStringLiteral("settingsVirtualMicrophoneSetup")));
        QCOMPARE(textOf(item(QStringLiteral("settingsVirtualMicrophoneSetup")),
                        QStringLiteral("copyCommandButton")),
                 QStringLiteral("복사"));
    }

    void sendButtonsWaitForAnEnglishAnswer() {
        launch(QStringLiteral("4"));
        QObject* editor = item(QStringLiteral("englishEditor"));
        for (const QString& text : {QStringLiteral(" \n\t "), QString(), englishReply}) {
            editor->setProperty("text", text);
            for (const QString& button :
                 {QStringLiteral("sendButton"), QStringLiteral("previewButton")})
                QCOMPARE(item(button)->property("enabled").toBool(), text == englishReply);
        }
    }

    // The ElevenLabs group: "연결" needs a key, a stored key offers "키 삭제", and "이 목소리 쓰기"
    // needs a chosen voice.
    void settingsSheetEnablesWhatCanBeDone() {
        launch(QStringLiteral("1"));
        app->content().openSettings();
        QTRY_VERIFY(item(QStringLiteral("connectButton")));
        auto enabled = [this](const QString& name) {
            return item(name)->property("enabled").toBool();
        };
        for (const QString& key : {QString(), QStringLiteral("  \n ")}) {
            app->content().setElevenLabsAPIKey(key);
            QVERIFY(!enabled(QStringLiteral("connectButton")));
        }
        app->content().setElevenLabsAPIKey(QStringLiteral("window-test-key"));
        QVERIFY(enabled(QStringLiteral("connectButton")));
        QMetaObject::invokeMethod(item(QStringLiteral("connectButton")), "clicked");
        QTRY_VERIFY_WITH_TIMEOUT(shown(QStringLiteral("forgetKeyButton")), 60'000);
        QVERIFY(!shown(QStringLiteral("connectButton")));
        QVERIFY(enabled(QStringLiteral("forgetKeyButton")));
        QTRY_VERIFY(enabled(QStringLiteral("useElevenLabsVoiceButton")));
        app->content().chooseElevenLabsVoice(QVariant());
        QVERIFY(!enabled(QStringLiteral("useElevenLabsVoiceButton")));

        QMetaObject::invokeMethod(item(QStringLiteral("forgetKeyButton")), "clicked");
        QTRY_VERIFY_WITH_TIMEOUT(shown(QStringLiteral("connectButton")), 60'000);
        QVERIFY(!enabled(QStringLiteral("connectButton")));
    }

    void guideSheetShowsEveryRowButTheTitle() {
        launch(QStringLiteral("1"));
        QStringList expected;
        for (const QVariant& block : app->content().guideBlocks()) {
            const QVariantMap row = block.toMap();
            if (row[QStringLiteral("kind")] == QStringLiteral("heading") ||
                row[QStringLiteral("kind")] == QStringLiteral("line"))
                expected << row[QStringLiteral("text")].toString();
        }
        // The shipped guide: a title, then steps and the support address.
        QCOMPARE(app->content().guideBlocks().first().toMap()[QStringLiteral("kind")],
                 QStringLiteral("title"));
        QVERIFY(expected.contains(QStringLiteral("1단계 · 가상 마이크 만들기")));
        QVERIFY(expected.join(u'\n').contains(QStringLiteral("support@relayo.app")));
        app->content().openGuide();
        QTRY_VERIFY(item(QStringLiteral("guideSheet"))->property("visible").toBool());
        QStringList rows;
        for (QQuickItem* loader :
             qobject_cast<QQuickItem*>(item(QStringLiteral("guideRows")))->childItems()) {
            const auto* row = loader->property("item").value<QObject*>();
            if (row && row->property("text").isValid())
                rows << row->property("text").toString();
        }
        QCOMPARE(rows, expected);
    }

    // A meeting client that has connected but plays nothing yet is chosen at start-up by name.
    void choosesASilentZoomAtStartUp() {
        auto zoom = audiotest::silentClient(QStringLiteral("Zoom Workplace"), 440);
        launch(QStringLiteral("1"));
        QCOMPARE(app->content().model().selectedApplicationID(),
                 std::optional<qint32>(zoom->processId()));
        QCOMPARE(textOf(item(QStringLiteral("meetingAppPicker")), QStringLiteral("selectBoxTitle")),
                 QStringLiteral("Zoom Workplace"));
        QVERIFY(item(QStringLiteral("listenButton"))->property("enabled").toBool());
    }

    // The reply step end to end: the multilingual fixture's audio spoken into the microphone
    // (a pipe source: exactly the fixture's samples), recognised with the Korean model imported
    // from it, shown whole and translated as shown.
    void replyFromTheMicrophoneIsShownAndTranslatedWhole() {
        const auto fixture = [](const char* name) {
            return QString::fromStdString(nemoFixturePath(name));
        };
        QTemporaryDir models;
        ImportOptions options;
        options.precision = ModelPrecision::fp32;
        options.locale = "ko-KR";
        ModelImporter::importCheckpoint(
            fixture("small-multi.nemo").toStdString(),
            NemotronModelDownloader::modelFolder(HubModel::korean(), models.path()).toStdString(),
            options);
        QFile reference(fixture("multi/stream_560ms/text.txt"));
        QVERIFY(reference.open(QIODevice::ReadOnly));
        const QString expected = QString::fromUtf8(reference.readAll());
        const std::vector<float> speech = AudioConverter().resampleAudioFile(fixture("input.wav"));

        const QString feed = workFolder.filePath(QStringLiteral("reply-feed"));
        const QString module =
            audiotest::pactl({"load-module", "module-pipe-source", "source_name=reply_feed",
                              "file=" + feed, "format=float32le", "rate=16000", "channels=1"})
                .trimmed();
        const auto restore = qScopeGuard([module] {
            audiotest::pactl({"set-default-source", "test_mic"});
            audiotest::pactl({"unload-module", module});
        });
        audiotest::pactl({"set-default-source", "reply_feed"});
        // Held open, the pipe gives the microphone nothing but what is written to it.
        QFile microphone(feed);
        QVERIFY(microphone.open(QIODevice::WriteOnly | QIODevice::Unbuffered));

        relayedReplies.clear();
        launch(QStringLiteral("1"), models.path());
        QMetaObject::invokeMethod(item(QStringLiteral("replyButton")), "clicked");
        QCOMPARE(textOf(QStringLiteral("phaseLabel")), QStringLiteral("내 한국어 듣는 중"));
        QTRY_VERIFY(audiotest::pactl({"list", "short", "source-outputs"})
                        .contains("float32le 1ch 16000Hz"));
        const auto bytes = qint64(speech.size() * sizeof(float));
        QCOMPARE(microphone.write(reinterpret_cast<const char*>(speech.data()), bytes), bytes);
        int unread = 0;
        QTRY_VERIFY(ioctl(microphone.handle(), FIONREAD, &unread) == 0 && unread == 0);
        // The text of all but the last chunk shows while listening; the rest is in flight.
        QTRY_VERIFY_WITH_TIMEOUT(!textOf(QStringLiteral("koreanReplyBlock")).isEmpty(), 60'000);
        QTest::qWait(500);

        QMetaObject::invokeMethod(item(QStringLiteral("finishReplyButton")), "clicked");
        QTRY_COMPARE_WITH_TIMEOUT(textOf(QStringLiteral("englishEditor")), englishReply, 60'000);
        QCOMPARE(textOf(QStringLiteral("koreanReplyBlock")), expected);
        QCOMPARE(relayedReplies, QStringList{expected});
        QVERIFY(!expected.contains(u'<'));
    }

    void theProgramWritesItsWindowID() {
        QProcess program;
        program.setProgram(QStringLiteral(RELAYO_APP_PATH));
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        const QString idPath = workFolder.filePath(QStringLiteral("program-window"));
        environment.insert(QStringLiteral("RLY_SHOT"), QStringLiteral("4"));
        environment.insert(QStringLiteral("RLY_SHOT_OUT"), idPath);
        program.setProcessEnvironment(environment);
        program.setWorkingDirectory(workFolder.path());
        program.start();
        QVERIFY(program.waitForStarted());
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(idPath), 60'000);
        QFile idFile(idPath);
        QVERIFY(idFile.open(QIODevice::ReadOnly));
        bool ok = false;
        const WId id = idFile.readAll().toULongLong(&ok);
        QVERIFY(ok && id != 0);
        QImage image;
        const int height = QGuiApplication::primaryScreen()->availableGeometry().height() - 20;
        QTRY_VERIFY_WITH_TIMEOUT(
            (image = QGuiApplication::primaryScreen()->grabWindow(id).toImage()).height() == height,
            20'000);
        QVERIFY(image.save(artifactPath(QStringLiteral("program-step-4.png"))));
        program.terminate();
        QVERIFY(program.waitForFinished(10'000));
    }
};

QTEST_MAIN(WindowTest)
#include "WindowTest.moc"
