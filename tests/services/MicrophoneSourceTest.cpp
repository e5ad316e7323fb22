#include "app/services/audio/MicrophoneSource.h"
#include "app/workflow/ServiceError.h"
#include "tests/services/AudioTestSupport.h"

#include <QTest>

using audiotest::Recording;

constexpr int timeout = 60000;

// The shared test daemon's default source "Test-Microphone" hears whatever
// plays on its "Microphone-Feed" sink.
class MicrophoneSourceTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() {
        QVERIFY(m_folder.isValid());
        m_tone = audiotest::makeTone(m_folder, 440, 60);
    }

    // A second start takes the handler's place; stop, twice or before any start, ends delivery.
    void deliversTheDefaultInputInBuffersOf1024Frames() {
        auto speaker = audiotest::play(m_tone, "Voice", {"--device=mic_feed"});
        MicrophoneSource microphone;
        microphone.stop();
        auto first = std::make_shared<Recording>();
        microphone.start(first->handler());
        auto recording = std::make_shared<Recording>();
        microphone.start(recording->handler());
        QVERIFY(first->released());
        QTRY_VERIFY_WITH_TIMEOUT(recording->frameCount() >= 16000, timeout);
        microphone.stop();
        QVERIFY(recording->released());
        const std::size_t received = recording->frameCount();
        QTest::qWait(300);
        QCOMPARE(recording->frameCount(), received);
        microphone.stop();

        for (int size : recording->blockSizes())
            QCOMPARE(size, MicrophoneSource::framesPerBuffer);
        QVERIFY(audiotest::toneStrength(recording->samples(), 440) > 0.01);
    }

    // On a server with one output, only its monitor is a source: no microphone.
    void failsClearlyWithoutAnInputAndLetsGoWhenTheServerGoes() {
        audiotest::PrivateDaemon daemon;
        QVERIFY(daemon.start());
        MicrophoneSource microphone(daemon.address());
        try {
            microphone.start(std::make_shared<Recording>()->handler());
            QFAIL("a microphone was found on a server without one");
        } catch (const ServiceError& error) {
            QCOMPARE(error.description(),
                     "No microphone was found. Connect a microphone and try again.");
        }
        audiotest::pactl({"load-module", "module-remap-source", "source_name=private_mic",
                          "master=private_speakers.monitor"},
                         daemon.address());
        audiotest::pactl({"set-default-source", "private_mic"}, daemon.address());
        auto recording = std::make_shared<Recording>();
        microphone.start(recording->handler());
        QTRY_VERIFY_WITH_TIMEOUT(recording->frameCount() > 0, timeout);
        daemon.stop();
        QTRY_VERIFY_WITH_TIMEOUT(recording->released(), timeout);
        microphone.stop();
    }

private:
    QTemporaryDir m_folder;
    QString m_tone;
};

QTEST_GUILESS_MAIN(MicrophoneSourceTest)
#include "MicrophoneSourceTest.moc"
