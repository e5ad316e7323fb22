#include "app/services/audio/SystemAudioCapture.h"
#include "app/platform/PulseError.h"
#include "tests/services/AudioTestSupport.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTest>
#include <qcoro/qcorotask.h>

using audiotest::recorder;
using audiotest::Recording;
using Clients = QList<PulseContext::Client>;

Q_DECLARE_METATYPE(Clients)

namespace {

constexpr int timeout = 20000;
const qint64 ownProcessID = 100;

CaptureApplication applicationFor(qint64 processID) {
    return {qint32(processID), QStringLiteral("Stand-in"), {}, {}, {}};
}

QStringList titlesAndIDs(const QList<CaptureApplication>& applications) {
    QStringList listed;
    for (const auto& application : applications)
        listed << QStringLiteral("%1/%2").arg(application.title).arg(application.id);
    return listed;
}

void writeFile(const QTemporaryDir& folder, const QString& path, const QByteArray& content) {
    QDir().mkpath(QFileInfo(folder.filePath(path)).path());
    QFile file(folder.filePath(path));
    file.open(QIODevice::WriteOnly);
    file.write(content);
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
        QTest::addColumn<QStringList>("expected");
        auto client = [](qint64 pid, const char* name, const char* binary = "",
                         const char* id = "") {
            return PulseContext::Client{0,
                                        pid,
                                        QString::fromUtf8(name),
                                        QString::fromUtf8(binary),
                                        QString::fromUtf8(id),
                                        {},
                                        0,
                                        {}};
        };
        QTest::newRow("only this program")
            << Clients{client(ownProcessID, "Relayo")} << QStringList{};
        QTest::newRow("a client that plays nothing is listed")
            << Clients{client(ownProcessID, "Relayo"), client(7, "Agent")}
            << QStringList{"Agent/7"};
        QTest::newRow("case-insensitive, equal titles keep the server's order")
            << Clients{client(3, "zoom"), client(1, "Zoom"), client(2, "Chrome")}
            << QStringList{"Chrome/2", "zoom/3", "Zoom/1"};
        QTest::newRow("a lower-case title sorts by its letters")
            << Clients{client(1, "Zoom"), client(2, "brave"), client(3, "Chrome")}
            << QStringList{"brave/2", "Chrome/3", "Zoom/1"};
        QTest::newRow("empty names are never listed")
            << Clients{client(1, ""), client(2, "Teams")} << QStringList{"Teams/2"};
        QTest::newRow("one record per process, from its first named client")
            << Clients{client(5, ""), client(5, "Firefox", "firefox-bin"), client(5, "Firefox 2")}
            << QStringList{"Firefox/5"};
    }

    void buildsTheApplicationList() {
        QFETCH(Clients, clients);
        QFETCH(QStringList, expected);
        QCOMPARE(titlesAndIDs(SystemAudioCapture::applicationsFrom(
                     clients, ProcessTable(), DesktopEntries({}), ownProcessID)),
                 expected);
    }

    void takesTheBundleIdentifierFromTheBinaryElseTheApplicationID() {
        const auto applications = SystemAudioCapture::applicationsFrom(
            {{0, 1, "Zoom", "zoom", "us.zoom", "", 0, ""},
             {0, 2, "Meet", "", "org.example.meet", "", 0, ""}},
            ProcessTable(), DesktopEntries({}), ownProcessID);
        QCOMPARE(applications.size(), 2);
        QCOMPARE(applications[0].bundleIdentifier, QStringLiteral("org.example.meet"));
        QCOMPARE(applications[1].bundleIdentifier, QStringLiteral("zoom"));
    }

    // The processes of this system and the desktop's entries decide which
    // process stands for an application and what it is called.
    void findsApplicationsAmongProcesses_data() {
        QTest::addColumn<Clients>("clients");
        QTest::addColumn<QStringList>("expected");
        using Client = PulseContext::Client;
        const QStringList running{"Google Chrome/10 chrome icon", "teams/30 teams",
                                  "Zoom/21 zoom icon"};
        QTest::newRow("silent meeting applications that have not connected")
            << Clients{} << running;
        QTest::newRow("a browser's audio process stands for the browser")
            << Clients{Client{0, 11, "Chromium", "chrome", "", "", 0, ""}} << running;
        QTest::newRow("a Flatpak client known by its namespace's process id")
            << Clients{Client{0, 3, "ZOOM VoiceEngine", "zoom", "", "", 0, ""}} << running;
        QTest::newRow("PipeWire's view of the process and the portal's application id")
            << Clients{Client{0, 2, "Meeting", "meeting", "", "", 40, "org.example.Meeting"}}
            << QStringList{"Example Meeting/40 meeting"} + running;
        QTest::newRow("a program without a desktop entry, drawn by its own icon name")
            << Clients{Client{0, 50, "Player", "player", "", "relayo-test-player", 0, ""}}
            << QStringList{"Google Chrome/10 chrome icon", "Player/50 player icon",
                           "teams/30 teams", "Zoom/21 zoom icon"};
    }

    void findsApplicationsAmongProcesses() {
        QFETCH(Clients, clients);
        QFETCH(QStringList, expected);
        QTemporaryDir data;
        writeFile(
            data, "applications/google-chrome.desktop",
            "[Desktop Entry]\nType=Application\nName=Google Chrome\n"
            "Exec=/usr/bin/google-chrome-stable %U\nStartupWMClass=chrome\nIcon=google-chrome\n");
        writeFile(data, "applications/us.zoom.Zoom.desktop",
                  "[Desktop Entry]\nName=Zoom\nType=Application\nIcon=us.zoom.Zoom\n");
        writeFile(data, "applications/org.example.Meeting.desktop",
                  "[Desktop Entry]\nType=Application\nName=Example Meeting\n");
        writeFile(data, "icons/hicolor/48x48/apps/google-chrome.png", "png");
        writeFile(data, "icons/hicolor/scalable/apps/us.zoom.Zoom.svg", "svg");
        writeFile(data, "pixmaps/relayo-test-player.png", "png");
        // The browser (10) with its audio process (11), a page (13) and its crash reporter
        // (12); Zoom in a Flatpak sandbox (20-22); a snap (30); two programs that are not
        // meeting applications (40, 50); this program (100).
        const ProcessTable processes({
            {10, 1, "chrome", 10, ""},
            {11, 10, "chrome", 11, ""},
            {12, 1, "chrome_crashpad", 12, ""},
            {13, 10, "Isolated Web Co", 13, ""},
            {20, 1, "bwrap", 20, ""},
            {21, 20, "zoom", 2, "us.zoom.Zoom"},
            {22, 21, "zoom", 3, "us.zoom.Zoom"},
            {30, 1, "teams", 30, "teams-for-linux"},
            {40, 1, "meeting", 40, ""},
            {50, 1, "player", 50, ""},
            {ownProcessID, 1, "firefox", ownProcessID, ""},
        });
        QStringList listed;
        for (const auto& application : SystemAudioCapture::applicationsFrom(
                 clients, processes, DesktopEntries({data.path()}), ownProcessID)) {
            QString line = QStringLiteral("%1/%2 %3")
                               .arg(application.title)
                               .arg(application.id)
                               .arg(application.bundleIdentifier);
            if (!application.iconPath.isEmpty())
                line += QFile::exists(application.iconPath) ? " icon" : " missing icon";
            listed << line;
        }
        QCOMPARE(listed, expected);
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

    void listsASilentClientAndCapturesItOnceItPlays() {
        SystemAudioCapture capture;
        auto meeting = audiotest::silentClient(QStringLiteral("Silent Meeting"), 440);
        QTRY_VERIFY_WITH_TIMEOUT(
            lists(capture, QStringLiteral("Silent Meeting"), meeting->processId()), timeout);
        QVERIFY(!audiotest::pactl({QStringLiteral("list"), QStringLiteral("sink-inputs")})
                     .contains(QStringLiteral("Silent Meeting")));
        auto recording = std::make_shared<Recording>();
        runToCompletion(capture.start(applicationFor(meeting->processId()), recorder(recording)));
        audiotest::startPlaying(*meeting);
        QTRY_VERIFY_WITH_TIMEOUT(recording->frameCount() >= 8000, timeout);
        QVERIFY(audiotest::toneStrength(recording->samples(), 440) > 0.01);
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
