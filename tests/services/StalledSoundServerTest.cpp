#include "app/platform/PulseError.h"
#include "app/services/audio/AudioOutput.h"
#include "app/services/audio/MicrophoneSource.h"
#include "app/services/audio/SystemAudioCapture.h"
#include "tests/services/AudioTestSupport.h"

#include <QTest>

// Every call that talks to the sound server, on a server that was reached once.
using Call = std::function<void(const QString& address)>;

Q_DECLARE_METATYPE(Call)

// A stopped sound server accepts connections and never answers. Each kind of call that needs
// an answer (a query, a playback and a recording stream) must come back with an error instead
// of holding the window.
class StalledSoundServerTest : public QObject {
    Q_OBJECT

private slots:
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

QTEST_GUILESS_MAIN(StalledSoundServerTest)
#include "StalledSoundServerTest.moc"
