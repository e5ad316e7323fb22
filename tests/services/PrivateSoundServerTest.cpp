#include "app/core/ServiceError.h"
#include "app/platform/PulseError.h"
#include "app/services/audio/AudioOutput.h"
#include "app/services/audio/MicrophoneSource.h"
#include "app/services/audio/SystemAudioCapture.h"
#include "tests/services/AudioTestSupport.h"

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

    // A stopped server accepts connections and never answers. Each kind of call that needs an
    // answer (a query, a playback and a recording stream) must come back with an error instead
    // of holding the window.
    void callsGiveUpWithAnError_data() {
        QTest::addColumn<Call>("call");
        QTest::newRow("play") << Call([](const QString& address) {
            QTemporaryDir folder;
            AudioOutput output(address);
            QVERIFY_THROWS_EXCEPTION(
                PulseError,
                output.play(QUrl::fromLocalFile(audiotest::makeTone(folder, 440, 0.5)), {}));
        });
        QTest::newRow("applications") << Call([](const QString& address) {
            SystemAudioCapture capture(address);
            QVERIFY_THROWS_EXCEPTION(PulseError, runToCompletion(capture.availableApplications()));
        });
        QTest::newRow("microphone") << Call([](const QString& address) {
            MicrophoneSource microphone(address);
            QVERIFY_THROWS_EXCEPTION(PulseError, microphone.start([](const PcmBuffer&) {}));
        });
    }

    void callsGiveUpWithAnError() {
        QFETCH(Call, call);
        audiotest::PrivateDaemon daemon;
        QVERIFY(daemon.start());
        daemon.pause();
        call(daemon.address());
        daemon.resume();
    }
};

QTEST_GUILESS_MAIN(PrivateSoundServerTest)
#include "PrivateSoundServerTest.moc"
