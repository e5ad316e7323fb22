#include "app/services/SystemAudioCapture.h"
#include "app/platform/PulseError.h"
#include "tests/services/AudioTestSupport.h"

#include <QCoreApplication>
#include <QTest>
#include <qcoro/qcorotask.h>

using audiotest::recorder;
using audiotest::Recording;
using Clients = QList<PulseContext::Client>;

Q_DECLARE_METATYPE(Clients)
Q_DECLARE_METATYPE(QList<qint64>)

namespace {

constexpr int timeout = 20000;
const qint64 ownProcessID = 100;

CaptureApplication applicationFor(qint64 processID) {
    return {qint32(processID), QStringLiteral("Stand-in"), {}, {}};
}

bool lists(SystemAudioCapture& capture, const QString& title, qint64 processID) {
    const auto applications = runToCompletion(capture.availableApplications());
    return std::ranges::any_of(applications, [&](const CaptureApplication& application) {
        return application.title == title && application.id == processID;
    });
}

} // namespace

class SystemAudioCaptureTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() {
        QVERIFY(m_folder.isValid());
        m_low = audiotest::makeTone(m_folder, 440, 60);
        m_high = audiotest::makeTone(m_folder, 1000, 60);
    }

    void buildsTheApplicationList_data() {
        QTest::addColumn<Clients>("clients");
        QTest::addColumn<QList<qint64>>("playing");
        QTest::addColumn<QStringList>("expected");
        auto client = [](qint64 pid, const char* name, const char* binary = "",
                         const char* id = "") {
            return PulseContext::Client{0, pid, QString::fromUtf8(name), QString::fromUtf8(binary),
                                        QString::fromUtf8(id)};
        };
        QTest::newRow("only this program and silent clients")
            << Clients{client(ownProcessID, "Relayo"), client(7, "Agent")}
            << QList<qint64>{ownProcessID} << QStringList{};
        QTest::newRow("case-insensitive, equal titles keep the server's order")
            << Clients{client(3, "zoom"), client(1, "Zoom"), client(2, "Chrome")}
            << QList<qint64>{1, 2, 3} << QStringList{"Chrome/2", "zoom/3", "Zoom/1"};
        QTest::newRow("a lower-case title sorts by its letters")
            << Clients{client(1, "Zoom"), client(2, "brave"), client(3, "Chrome")}
            << QList<qint64>{1, 2, 3} << QStringList{"brave/2", "Chrome/3", "Zoom/1"};
        QTest::newRow("empty names are never listed")
            << Clients{client(1, ""), client(2, "Teams")} << QList<qint64>{1, 2}
            << QStringList{"Teams/2"};
        QTest::newRow("one record per process, from its first named client")
            << Clients{client(5, ""), client(5, "Firefox", "firefox-bin"), client(5, "Firefox 2")}
            << QList<qint64>{5} << QStringList{"Firefox/5"};
    }

    void buildsTheApplicationList() {
        QFETCH(Clients, clients);
        QFETCH(QList<qint64>, playing);
        QFETCH(QStringList, expected);
        QList<PulseContext::SinkInput> sinkInputs;
        for (qint64 pid : playing)
            sinkInputs.append({0, 0, pid});
        QStringList listed;
        for (const auto& application :
             SystemAudioCapture::applicationsFrom(clients, sinkInputs, ownProcessID))
            listed << QStringLiteral("%1/%2").arg(application.title).arg(application.id);
        QCOMPARE(listed, expected);
    }

    void takesTheBundleIdentifierFromTheBinaryElseTheApplicationID() {
        const auto applications = SystemAudioCapture::applicationsFrom(
            {{0, 1, "Zoom", "zoom", "us.zoom"}, {0, 2, "Meet", "", "org.example.meet"}},
            {{0, 0, 1}, {0, 0, 2}}, ownProcessID);
        QCOMPARE(applications.size(), 2);
        QCOMPARE(applications[0].bundleIdentifier, QStringLiteral("org.example.meet"));
        QCOMPARE(applications[1].bundleIdentifier, QStringLiteral("zoom"));
    }

    void listsTheApplicationsThatPlay() {
        SystemAudioCapture capture;
        auto zoom = audiotest::play(m_low, QStringLiteral("Zoom"));
        auto music = audiotest::play(m_high, QStringLiteral("Music"));
        QTRY_VERIFY_WITH_TIMEOUT(lists(capture, QStringLiteral("Zoom"), zoom->processId()) &&
                                     lists(capture, QStringLiteral("Music"), music->processId()),
                                 timeout);
        const auto applications = runToCompletion(capture.availableApplications());
        for (const auto& application : applications)
            QVERIFY(application.id != QCoreApplication::applicationPid());
        const auto zoomRecord =
            *std::ranges::find(applications, zoom->processId(), &CaptureApplication::id);
        QCOMPARE(zoomRecord.bundleIdentifier, QStringLiteral("pacat"));
    }

    void capturesOnlyTheChosenApplication() {
        SystemAudioCapture capture;
        auto zoom = audiotest::play(m_low, QStringLiteral("Zoom"));
        auto music = audiotest::play(m_high, QStringLiteral("Music"));
        QTRY_VERIFY_WITH_TIMEOUT(lists(capture, QStringLiteral("Zoom"), zoom->processId()),
                                 timeout);
        auto recording = std::make_shared<Recording>();
        runToCompletion(capture.start(applicationFor(zoom->processId()), recorder(recording)));
        QTRY_VERIFY_WITH_TIMEOUT(recording->frameCount() >= 16000, timeout);
        runToCompletion(capture.stop());

        const auto samples = recording->samples();
        QVERIFY(audiotest::toneStrength(samples, 440) > 0.01);
        QVERIFY(audiotest::toneStrength(samples, 440) >
                100 * audiotest::toneStrength(samples, 1000));
        QCOMPARE(recording->threadNames(), QSet<QString>{QStringLiteral("meeting.system.audio")});
        QVERIFY(recording->allInSpeechFormat());
        QVERIFY(!recording->blockSizes().contains(0));
    }

    void hearsAndMixesStreamsOpenedAfterStart() {
        SystemAudioCapture capture;
        auto meeting = audiotest::idleProcess();
        auto recording = std::make_shared<Recording>();
        runToCompletion(capture.start(applicationFor(meeting->processId()), recorder(recording)));
        QCOMPARE(recording->frameCount(), std::size_t(0));

        auto first = audiotest::play(m_low, QStringLiteral("Meeting"), {}, meeting->processId());
        QTRY_VERIFY_WITH_TIMEOUT(recording->frameCount() >= 8000, timeout);
        QVERIFY(audiotest::toneStrength(recording->samples(), 440) > 0.01);

        auto second = audiotest::play(m_high, QStringLiteral("Meeting"), {}, meeting->processId());
        QTRY_VERIFY_WITH_TIMEOUT(audiotest::toneStrength(recording->samples(), 1000) > 0.001,
                                 timeout);
        recording->clear();
        QTRY_VERIFY_WITH_TIMEOUT(recording->frameCount() >= 8000, timeout);
        const auto mixed = recording->samples();
        QVERIFY(audiotest::toneStrength(mixed, 440) > 0.01);
        QVERIFY(audiotest::toneStrength(mixed, 1000) > 0.01);
    }

    void stopIsIdempotentAndEndsDelivery() {
        SystemAudioCapture capture;
        runToCompletion(capture.stop());
        auto zoom = audiotest::play(m_low, QStringLiteral("Zoom"));
        auto recording = std::make_shared<Recording>();
        std::weak_ptr<int> handler;
        runToCompletion(
            capture.start(applicationFor(zoom->processId()), recorder(recording, &handler)));
        QTRY_VERIFY_WITH_TIMEOUT(recording->frameCount() > 0, timeout);
        runToCompletion(capture.stop());
        QVERIFY(handler.expired());
        const std::size_t received = recording->frameCount();
        QTest::qWait(300);
        QCOMPARE(recording->frameCount(), received);
        runToCompletion(capture.stop());
    }

    void startWhileRunningReplacesTheHandler() {
        SystemAudioCapture capture;
        auto zoom = audiotest::play(m_low, QStringLiteral("Zoom"));
        auto music = audiotest::play(m_high, QStringLiteral("Music"));
        auto first = std::make_shared<Recording>();
        runToCompletion(capture.start(applicationFor(zoom->processId()), recorder(first)));
        QTRY_VERIFY_WITH_TIMEOUT(first->frameCount() > 0, timeout);

        auto second = std::make_shared<Recording>();
        runToCompletion(capture.start(applicationFor(music->processId()), recorder(second)));
        const std::size_t firstReceived = first->frameCount();
        QTRY_VERIFY_WITH_TIMEOUT(second->frameCount() >= 8000, timeout);
        QCOMPARE(first->frameCount(), firstReceived);
        QVERIFY(audiotest::toneStrength(second->samples(), 1000) >
                100 * audiotest::toneStrength(second->samples(), 440));
    }

    void clearsTheHandlerWhenTheApplicationExits_data() {
        QTest::addColumn<bool>("connectionClosedFirst");
        QTest::newRow("while connected") << false;
        QTest::newRow("after closing its connection") << true;
    }

    void clearsTheHandlerWhenTheApplicationExits() {
        QFETCH(bool, connectionClosedFirst);
        SystemAudioCapture capture;
        auto meeting = audiotest::idleProcess();
        auto stream = audiotest::play(m_low, QStringLiteral("Meeting"), {}, meeting->processId());
        auto recording = std::make_shared<Recording>();
        std::weak_ptr<int> handler;
        runToCompletion(
            capture.start(applicationFor(meeting->processId()), recorder(recording, &handler)));
        QTRY_VERIFY_WITH_TIMEOUT(recording->frameCount() > 0, timeout);

        if (connectionClosedFirst) {
            // The server has nothing more to tell once the application's client is gone.
            stream.reset();
            QTRY_VERIFY_WITH_TIMEOUT(
                !audiotest::pactl({QStringLiteral("list"), QStringLiteral("clients")})
                     .contains(QStringLiteral("\"Meeting\"")),
                timeout);
            meeting.reset();
        } else {
            meeting.reset();
            QVERIFY(!handler.expired()); // the application still has its connection
            stream.reset();
        }
        QTRY_VERIFY_WITH_TIMEOUT(handler.expired(), timeout);
        runToCompletion(capture.stop());
    }

    void survivesTheServerGoingAwayAndStartsAgain() {
        audiotest::PrivateDaemon daemon;
        QVERIFY(daemon.start());
        SystemAudioCapture capture(daemon.address());
        const QStringList onDaemon{QStringLiteral("--server=") + daemon.address()};
        auto zoom = audiotest::play(m_low, QStringLiteral("Zoom"), onDaemon);
        auto recording = std::make_shared<Recording>();
        std::weak_ptr<int> handler;
        runToCompletion(
            capture.start(applicationFor(zoom->processId()), recorder(recording, &handler)));
        QTRY_VERIFY_WITH_TIMEOUT(recording->frameCount() > 0, timeout);

        daemon.kill();
        QTRY_VERIFY_WITH_TIMEOUT(handler.expired(), timeout);
        zoom.reset();

        QVERIFY(daemon.start());
        auto again = audiotest::play(m_low, QStringLiteral("Zoom"), onDaemon);
        auto after = std::make_shared<Recording>();
        runToCompletion(capture.start(applicationFor(again->processId()), recorder(after)));
        QTRY_VERIFY_WITH_TIMEOUT(after->frameCount() >= 8000, timeout);
        QVERIFY(audiotest::toneStrength(after->samples(), 440) > 0.01);
    }

    void failsWithClearErrors() {
        SystemAudioCapture unreachable(QStringLiteral("unix:/nonexistent/relayo/native"));
        try {
            runToCompletion(unreachable.availableApplications());
            QFAIL("listing without a server succeeded");
        } catch (const PulseError& error) {
            QVERIFY(error.description().contains(QStringLiteral("sound server")));
        }
        auto recording = std::make_shared<Recording>();
        QVERIFY_THROWS_EXCEPTION(
            PulseError, runToCompletion(unreachable.start(applicationFor(1), recorder(recording))));

        SystemAudioCapture capture;
        auto gone = audiotest::idleProcess();
        const qint64 goneID = gone->processId();
        gone.reset();
        try {
            runToCompletion(capture.start(applicationFor(goneID), recorder(recording)));
            QFAIL("capturing an exited application succeeded");
        } catch (const ServiceError& error) {
            QCOMPARE(error.domain(), QStringLiteral("Capture"));
            QCOMPARE(error.code(), 2);
            QCOMPARE(error.description(), QStringLiteral("Stand-in is no longer running."));
        }
        runToCompletion(capture.stop());
    }

private:
    QTemporaryDir m_folder;
    QString m_low;
    QString m_high;
};

QTEST_GUILESS_MAIN(SystemAudioCaptureTest)
#include "SystemAudioCaptureTest.moc"
