#include "app/services/audio/SystemAudioCapture.h"
#include "app/platform/PulseError.h"
#include "tests/services/AudioTestSupport.h"
#include "tests/support/WriteFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTest>
#include <qcoro/qcorotask.h>

using audiotest::Recording;
using Client = PulseContext::Client;
using Clients = QList<Client>;

Q_DECLARE_METATYPE(Clients)

namespace {

constexpr int timeout = 60000;
const qint64 ownProcessID = 100;

CaptureApplication applicationFor(qint64 processID) {
    return {qint32(processID), "Stand-in", {}, {}, {}};
}

bool lists(SystemAudioCapture& capture, const QString& title, qint64 processID) {
    const auto applications = runToCompletion(capture.availableApplications());
    return std::ranges::any_of(applications, [&](const CaptureApplication& application) {
        return application.title == title && application.id == processID;
    });
}

// Starts capturing the application of `processID` into a new recording.
std::shared_ptr<Recording> startRecording(SystemAudioCapture& capture, qint64 processID) {
    auto recording = std::make_shared<Recording>();
    runToCompletion(
        capture.start(applicationFor(processID), recording->handler(), recording->endHandler()));
    return recording;
}

bool capturing(const Recording& recording, std::size_t frames, double frequency) {
    return recording.samples().size() >= frames &&
           audiotest::toneStrength(recording.samples(), frequency) > 0.01;
}

} // namespace

class SystemAudioCaptureTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() {
        m_low = audiotest::makeTone(m_folder, 440, 60);
        m_high = audiotest::makeTone(m_folder, 1000, 60);
        // The browser (10) with its audio process (11), a page (13) and its crash reporter
        // (12); Zoom in a Flatpak sandbox (20-22); a snap (30); two programs that are not
        // meeting applications (40, 50); this program (100).
        writeFile(
            m_data.filePath("applications/google-chrome.desktop"),
            "[Desktop Entry]\nType=Application\nName=Google Chrome\n"
            "Exec=/usr/bin/google-chrome-stable %U\nStartupWMClass=chrome\nIcon=google-chrome\n");
        writeFile(m_data.filePath("applications/us.zoom.Zoom.desktop"),
                  "[Desktop Entry]\nName=Zoom\nType=Application\nIcon=us.zoom.Zoom\n");
        writeFile(m_data.filePath("applications/org.example.Meeting.desktop"),
                  "[Desktop Entry]\nType=Application\nName=Example Meeting\n");
        writeFile(m_data.filePath("icons/hicolor/48x48/apps/google-chrome.png"), "png");
        writeFile(m_data.filePath("icons/hicolor/scalable/apps/us.zoom.Zoom.svg"), "svg");
        writeFile(m_data.filePath("pixmaps/relayo-test-player.png"), "png");
    }

    // Which process stands for an application, what it is called, how it is drawn and sorted.
    void buildsTheApplicationList_data() {
        QTest::addColumn<bool>("amongProcesses");
        QTest::addColumn<Clients>("clients");
        QTest::addColumn<QStringList>("expected");
        auto client = [](qint64 pid, const char* name, const char* binary = "",
                         const char* id = "") {
            return Client{0, pid, name, binary, id, {}, 0, {}};
        };
        // Not this program nor PipeWire's own clients; case-insensitive, equal titles in the
        // server's order; one record per process, from its first named client; the binary names
        // the bundle, else the app id.
        QTest::newRow("clients alone") << false
                                       << Clients{client(ownProcessID, "Relayo"),
                                                  client(8, "pipewire", "pipewire"),
                                                  client(9, "WirePlumber", "wireplumber"),
                                                  client(9, "WirePlumber [export]", "wireplumber"),
                                                  client(3, "zoom"),
                                                  client(1, "Zoom", "zoom", "us.zoom"),
                                                  client(2, "chrome"),
                                                  client(5, ""),
                                                  client(5, "Firefox", "firefox-bin"),
                                                  client(5, "Firefox 2"),
                                                  client(6, ""),
                                                  client(7, "Meet", "", "o.m")}
                                       << QStringList{"chrome/2", "Firefox/5 firefox-bin",
                                                      "Meet/7 o.m", "zoom/3", "Zoom/1 zoom"};
        // A browser's audio process; a Flatpak client by its namespace's id; PipeWire's view of
        // the process with the portal's application id; a program without a desktop entry,
        // drawn by its own icon name; silent meeting applications that never connected; the
        // sound server's programs known only by their processes, and another copy of Relayo.
        QTest::newRow("among processes")
            << true
            << Clients{client(11, "Chromium", "chrome"),
                       client(3, "ZOOM VoiceEngine", "zoom"),
                       Client{0, 2, "Meeting", "meeting", "", "", 40, "org.example.Meeting"},
                       Client{0, 50, "Player", "player", "", "relayo-test-player", 0, ""},
                       client(60, "pipewire"),
                       client(61, "Session"),
                       client(70, "Relayo", "relayo-app")}
            << QStringList{"Example Meeting/40 meeting", "Google Chrome/10 chrome icon",
                           "Player/50 player icon", "teams/30 teams", "Zoom/21 zoom icon"};
    }

    void buildsTheApplicationList() {
        QFETCH(bool, amongProcesses);
        QFETCH(Clients, clients);
        QFETCH(QStringList, expected);
        const ProcessTable processes({{10, 1, "chrome", 10, ""},
                                      {11, 10, "chrome", 11, ""},
                                      {12, 1, "chrome_crashpad", 12, ""},
                                      {13, 10, "Isolated Web Co", 13, ""},
                                      {20, 1, "bwrap", 20, ""},
                                      {21, 20, "zoom", 2, "us.zoom.Zoom"},
                                      {22, 21, "zoom", 3, "us.zoom.Zoom"},
                                      {30, 1, "teams", 30, "teams-for-linux"},
                                      {40, 1, "meeting", 40, ""},
                                      {50, 1, "player", 50, ""},
                                      {60, 1, "pipewire", 60, ""},
                                      {61, 1, "pipewire-media-", 61, ""},
                                      {ownProcessID, 1, "firefox", ownProcessID, ""}});
        QStringList listed;
        for (const auto& application : SystemAudioCapture::applicationsFrom(
                 clients, amongProcesses ? processes : ProcessTable(),
                 amongProcesses ? DesktopEntries({m_data.path()}) : DesktopEntries({}),
                 ownProcessID)) {
            QString line = QStringLiteral("%1/%2 %3")
                               .arg(application.title, QString::number(application.id),
                                    application.bundleIdentifier)
                               .trimmed();
            if (!application.iconPath.isEmpty())
                line += QFile::exists(application.iconPath) ? " icon" : " missing icon";
            listed << line;
        }
        QCOMPARE(listed, expected);
    }

    // Only the chosen application is heard; a second start takes the first's place; stop,
    // before any start and twice, ends delivery.
    void capturesOnlyTheChosenApplication() {
        SystemAudioCapture capture;
        runToCompletion(capture.stop());
        auto zoom = audiotest::play(m_low, "Zoom");
        auto music = audiotest::play(m_high, "Music");
        QTRY_VERIFY_WITH_TIMEOUT(lists(capture, "Zoom", zoom->processId()) &&
                                     lists(capture, "Music", music->processId()),
                                 timeout);
        // PipeWire's daemons are clients of its PulseAudio server, and this program of both,
        // yet none is an application to listen to.
        for (const auto& application : runToCompletion(capture.availableApplications())) {
            const QString title = application.title.toLower();
            QVERIFY2(!title.contains("pipewire") && !title.contains("wireplumber") &&
                         !title.contains("pulseaudio") &&
                         application.id != QCoreApplication::applicationPid(),
                     qPrintable(application.title));
        }
        auto first = startRecording(capture, zoom->processId());
        QTRY_VERIFY_WITH_TIMEOUT(capturing(*first, 16000, 440), timeout);
        auto second = startRecording(capture, music->processId());
        QVERIFY(first->released());
        const std::size_t firstReceived = first->samples().size();
        QTRY_VERIFY_WITH_TIMEOUT(capturing(*second, 8000, 1000), timeout);
        QCOMPARE(first->samples().size(), firstReceived);
        for (const auto& [recording, heard, other] :
             {std::tuple{first, 440, 1000}, std::tuple{second, 1000, 440}})
            QVERIFY(audiotest::toneStrength(recording->samples(), heard) >
                    100 * audiotest::toneStrength(recording->samples(), other));

        // Released, the handler has no copy left anywhere that could deliver more.
        runToCompletion(capture.stop());
        QVERIFY(second->released());
        runToCompletion(capture.stop());
        // Replaced or stopped, a capture has not ended by itself.
        QVERIFY(!first->ended() && !second->ended());
    }

    // The usual meeting: its client connects silently before the call's audio begins.
    void hearsAndMixesStreamsOpenedAfterStartAndFollowsThemToAnotherSink() {
        SystemAudioCapture capture;
        auto meeting = audiotest::silentClient("Silent Meeting");
        QVERIFY2(meeting, "the silent meeting's client did not connect");
        QTRY_VERIFY_WITH_TIMEOUT(lists(capture, "Silent Meeting", meeting->processId()), timeout);
        auto recording = startRecording(capture, meeting->processId());
        auto first = audiotest::play(m_low, "Silent Meeting", {}, meeting->processId());
        QTRY_VERIFY_WITH_TIMEOUT(capturing(*recording, 8000, 440), timeout);
        auto second = audiotest::play(m_high, "Meeting", {}, meeting->processId());
        QTRY_VERIFY_WITH_TIMEOUT(audiotest::toneStrength(recording->samples(), 1000) > 0.001,
                                 timeout);
        // Moving the streams to another sink ends their monitor recordings; the capture follows.
        for (const QString& stream :
             audiotest::pactl({"list", "short", "sink-inputs"}).split(u'\n', Qt::SkipEmptyParts))
            audiotest::pactl({"move-sink-input", stream.section(u'\t', 0, 0), "mic_feed"});
        recording->clear();
        QTRY_VERIFY_WITH_TIMEOUT(capturing(*recording, 8000, 440), timeout);
        QVERIFY(audiotest::toneStrength(recording->samples(), 1000) > 0.01);
    }

    void survivesTheServerGoingAwayAndStartsAgain() {
        audiotest::PrivateDaemon daemon;
        QVERIFY(daemon.start());
        SystemAudioCapture capture(daemon.address());
        const QStringList onDaemon{"--server=" + daemon.address()};
        auto zoom = audiotest::play(m_low, "Zoom", onDaemon);
        auto recording = startRecording(capture, zoom->processId());
        QTRY_VERIFY_WITH_TIMEOUT(recording->samples().size() > 0, timeout);

        daemon.stop();
        QTRY_VERIFY_WITH_TIMEOUT(recording->released() && recording->ended(), timeout);
        zoom.reset();

        QVERIFY(daemon.start());
        auto again = audiotest::play(m_low, "Zoom", onDaemon);
        auto after = startRecording(capture, again->processId());
        QTRY_VERIFY_WITH_TIMEOUT(capturing(*after, 8000, 440), timeout);
        // The application quitting ends the capture as well.
        again.reset();
        QTRY_VERIFY_WITH_TIMEOUT(after->released() && after->ended(), timeout);
    }

    void failsWithClearErrors() {
        SystemAudioCapture unreachable("unix:/nonexistent/relayo/native");
        QVERIFY_THROWS_EXCEPTION(PulseError, runToCompletion(unreachable.availableApplications()));
        SystemAudioCapture capture;
        auto gone = audiotest::silentClient("Meeting");
        QVERIFY2(gone, "the meeting's client did not connect");
        const qint64 goneID = gone->processId();
        gone.reset(); // the application exits
        try {
            startRecording(capture, goneID);
            QFAIL("capturing an exited application succeeded");
        } catch (const ServiceError& error) {
            QCOMPARE(error.description(),
                     QStringLiteral("Stand-in이(가) 종료되어 소리를 들을 수 없어요. 회의 앱을 다시 "
                                    "켠 뒤 골라 주세요."));
        }
    }

private:
    QTemporaryDir m_folder;
    QTemporaryDir m_data;
    QString m_low;
    QString m_high;
};

QTEST_GUILESS_MAIN(SystemAudioCaptureTest)
#include "SystemAudioCaptureTest.moc"
