#include "app/RelayoApp.h"
#include "app/ui/ContentViewModel.h"
#include "tests/workflow/WorkflowHarness.h"

#include <QQmlComponent>
#include <QQmlEngine>
#include <QQuickItem>
#include <QQuickWindow>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

using namespace Qt::StringLiterals;

// Texts from outside (servers, the sound server, the recognizer) reach the window as they are:
// markup in them is not rendered and fetches nothing from the loopback server here.
class PlainTextTest : public QObject {
    Q_OBJECT

    QTcpServer m_images;
    QStringList m_fetched;

    QString imageMarkup(const QString& path) const {
        return u"<img src=\"http://127.0.0.1:%1/%2\"><b>bold</b>"_s.arg(m_images.serverPort())
            .arg(path);
    }

private slots:
    void initTestCase() {
        QVERIFY(m_images.listen(QHostAddress::LocalHost));
        connect(&m_images, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket* socket = m_images.nextPendingConnection())
                connect(socket, &QTcpSocket::readyRead, this, [this, socket] {
                    if (!socket->canReadLine())
                        return;
                    m_fetched << QString::fromUtf8(socket->readLine().split(' ').value(1));
                    socket->disconnectFromHost();
                });
        });
    }

    void markupFromOutsideFetchesNothing() {
        WorkflowHarness fakes;
        fakes.close();
        AppServices services = fakes.makeServices();
        const QString markup = imageMarkup(u"outside.png"_s);
        fakes.capture->applications = {CaptureApplication{7, markup, {}, {}}};
        fakes.keychain->storedKey = u"key"_s;
        fakes.elevenLabs->voiceLists.answer({ElevenLabsVoice{"v", markup, {}, true}});
        RelayoApp app(std::move(services));
        QSignalSpy ready(&app, &RelayoApp::ready);
        QVERIFY(app.show());
        // Over fakes that answer at once, start-up may have finished inside show().
        QTRY_VERIFY_WITH_TIMEOUT(!ready.isEmpty(), 60'000);

        // Application names, captions, the Korean reply, a failure's text and voice names.
        app.content().refreshApplications();
        app.content().model().setSelectedApplicationID(7);
        QMetaObject::invokeMethod(app.window()->findChild<QObject*>("meetingAppPicker"), "clicked");
        fakes.meetingSpeech->setTranscript(markup);
        fakes.koreanSpeech->setTranscript(markup);
        app.content().model().setApprovedText(markup);
        emit fakes.audioOutput->playbackFailed(markup);
        app.content().openSettings();
        QVERIFY(QTest::qWaitForWindowExposed(app.window()));

        // A rich text item whose image must arrive (perhaps more than once): it shows that
        // fetching works and that the requests of the items made before it have had their turn.
        QQmlComponent component(qmlEngine(app.window()));
        component.setData("import QtQuick\nText { textFormat: Text.RichText }", QUrl());
        std::unique_ptr<QQuickItem> control(qobject_cast<QQuickItem*>(component.create()));
        QVERIFY(control);
        control->setParentItem(app.window()->contentItem());
        control->setProperty("text", imageMarkup(u"control.png"_s));
        QTRY_VERIFY_WITH_TIMEOUT(m_fetched.contains(u"/control.png"_s), 30'000);
        QVERIFY2(!m_fetched.contains(u"/outside.png"_s), qPrintable(m_fetched.join(u' ')));
    }
};

QTEST_MAIN(PlainTextTest)
#include "PlainTextTest.moc"
