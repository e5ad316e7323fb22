#include "app/core/ServiceError.h"
#include "app/platform/PulseError.h"
#include "app/services/audio/AudioOutput.h"
#include "app/services/audio/MicrophoneSource.h"
#include "app/services/audio/SystemAudioCapture.h"
#include "tests/services/AudioTestSupport.h"
#include "tests/support/ScopedEnvironment.h"

#include <QLocalServer>
#include <QTest>

// Every call that talks to the sound server, on a server that was reached once.
using Call = std::function<void(const QString& address)>;

Q_DECLARE_METATYPE(Call)

// Sound servers of the test's own, reshaped or stopped without touching the shared one.
class PrivateSoundServerTest : public QObject {
    Q_OBJECT

private slots:
    // On a server with one output, only its monitor is a source: no microphone.
    void failsClearlyWithoutAnInputAndOtherwiseDeliversUntilTheServerGoes() {
        audiotest::PrivateDaemon daemon;
        QVERIFY(daemon.start());
        MicrophoneSource microphone(daemon.address());
        try {
            microphone.start(std::make_shared<audiotest::Recording>()->handler());
            QFAIL("a microphone was found on a server without one");
        } catch (const ServiceError& error) {
            QCOMPARE(error.description(),
                     "No microphone was found. Connect a microphone and try again.");
        }
        audiotest::pactl({"load-module", "module-remap-source", "source_name=private_mic",
                          "master=private_speakers.monitor"},
                         daemon.address());
        QVERIFY(audiotest::makeDefaultSource("private_mic", daemon.address()));
        auto first = std::make_shared<audiotest::Recording>();
        microphone.start(first->handler());
        auto recording = std::make_shared<audiotest::Recording>();
        microphone.start(recording->handler());
        QVERIFY(first->released());
        QTRY_VERIFY_WITH_TIMEOUT(recording->samples().size() > 0, 60000);
        daemon.stop();
        QTRY_VERIFY_WITH_TIMEOUT(recording->released(), 60000);
        microphone.stop();
    }

    // A stopped server, and a socket that accepts connections as the user's default server
    // (PULSE_SERVER) but never says a word. Each kind of call that needs an answer (a query, a
    // playback and a recording stream) must come back with an error that says so instead of
    // holding the window.
    void callsGiveUpWithAnError_data() {
        QTest::addColumn<Call>("call");
        QTest::addColumn<bool>("silentSocket");
        const QList<std::pair<const char*, Call>> calls = {
            {"play",
             [](const QString& address) {
                 QTemporaryDir folder;
                 AudioOutput output(address);
                 QVERIFY2(silenceReported([&] {
                              output.play(
                                  QUrl::fromLocalFile(audiotest::makeTone(folder, 440, 0.5)), {});
                          }),
                          "no error saying that the server did not answer");
             }},
            {"applications",
             [](const QString& address) {
                 SystemAudioCapture capture(address);
                 QVERIFY2(
                     silenceReported([&] { runToCompletion(capture.availableApplications()); }),
                     "no error saying that the server did not answer");
             }},
            {"microphone",
             [](const QString& address) {
                 MicrophoneSource microphone(address);
                 QVERIFY2(silenceReported([&] { microphone.start([](const PcmBuffer&) {}); }),
                          "no error saying that the server did not answer");
             }},
        };
        for (const auto& [name, call] : calls) {
            QTest::addRow("%s, stopped server", name) << call << false;
            QTest::addRow("%s, silent socket", name) << call << true;
        }
    }

    void callsGiveUpWithAnError() {
        QFETCH(Call, call);
        QFETCH(bool, silentSocket);
        if (silentSocket) {
            QTemporaryDir folder;
            QLocalServer socket;
            QVERIFY(socket.listen(folder.filePath(QStringLiteral("native"))));
            ScopedEnvironment environment;
            environment.set("PULSE_SERVER", ("unix:" + socket.fullServerName()).toUtf8());
            call(QString());
            return;
        }
        audiotest::PrivateDaemon daemon;
        QVERIFY(daemon.start());
        daemon.pause();
        call(daemon.address());
        daemon.resume();
    }

    // A server that stalls once the output is connected to it: a playback then asked for fails
    // with that reason instead of "playing" for ever without a sound.
    void playbackOnAServerThatStalledAfterConnectingFails() {
        QTemporaryDir folder;
        audiotest::PrivateDaemon daemon;
        QVERIFY(daemon.start());
        AudioOutput output(daemon.address());
        QVERIFY(!output.devices().isEmpty());
        daemon.pause();
        QVERIFY2(silenceReported([&] {
                     output.play(QUrl::fromLocalFile(audiotest::makeTone(folder, 440, 0.5)), {});
                 }),
                 "no error saying that the server did not answer");
        QVERIFY(!output.isPlaying());
        daemon.resume();
    }

private:
    // Whether `call` failed because the server did not answer; otherwise says what happened.
    static bool silenceReported(const std::function<void()>& call) {
        try {
            call();
            qWarning("The call succeeded.");
        } catch (const PulseError& error) {
            if (error.description().contains(QStringLiteral("did not answer")))
                return true;
            qWarning("%s", qPrintable(error.description()));
        }
        return false;
    }
};

QTEST_GUILESS_MAIN(PrivateSoundServerTest)
#include "PrivateSoundServerTest.moc"
