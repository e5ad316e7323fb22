#include "app/ProductionServices.h"
#include "app/RelayoApp.h"
#include "app/ui/ContentViewModel.h"
#include "app/ui/Theme.h"
#include "app/workflow/ScreenshotMode.h"

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
#include <QScreen>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

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

    // Starts the window for `step` and waits until it has prepared and applied it.
    void launch(const QString& step) {
        qputenv("RLY_SHOT", step.toUtf8());
        qputenv("RLY_SHOT_OUT",
                workFolder.filePath(QStringLiteral("window-%1").arg(step)).toUtf8());
        app = std::make_unique<RelayoApp>(ProductionServices::make());
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
        QTRY_COMPARE(app->window()->height(), screen.height() - 20);
        QCOMPARE(app->window()->width(), qRound((screen.height() - 20) * 3.0 / 4.0));
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
                        return QHttpServerResponse(QJsonObject{
                            {QStringLiteral("content"),
                             kind == QStringLiteral("en-ko") ? koreanQuestion : englishReply}});
                    });
        const quint16 port = relay.listen(QHostAddress::LocalHost);
        QVERIFY(port != 0);
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
        QObject* notice = item(QStringLiteral("statusNotice"));
        // The download's English message comes under a Korean title.
        QCOMPARE(textOf(notice, QStringLiteral("noticeTitle")), QStringLiteral("문제가 생겼어요"));
        QVERIFY(notice->findChild<QQuickItem*>(QStringLiteral("noticeDetail"))->isVisible());
        QCOMPARE(textOf(notice, QStringLiteral("noticeDetail")),
                 app->content().model().statusMessage());
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
