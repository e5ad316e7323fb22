#include "app/services/audio/MicrophoneSource.h"
#include "app/platform/PulseError.h"
#include "tests/services/AudioTestSupport.h"

#include <QTest>

using audiotest::recorder;
using audiotest::Recording;

namespace {

constexpr int timeout = 60000;

} // namespace

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
        std::weak_ptr<int> firstHandler, handler;
        microphone.start(recorder(std::make_shared<Recording>(), &firstHandler));
        auto recording = std::make_shared<Recording>();
        microphone.start(recorder(recording, &handler));
        QVERIFY(firstHandler.expired());
        QTRY_VERIFY_WITH_TIMEOUT(recording->frameCount() >= 16000, timeout);
        microphone.stop();
        QVERIFY(handler.expired());
        const std::size_t received = recording->frameCount();
        QTest::qWait(300);
        QCOMPARE(recording->frameCount(), received);
        microphone.stop();

        QVERIFY(recording->allInSpeechFormat());
        for (int size : recording->blockSizes().sliced(0, recording->blockSizes().size() - 1))
            QCOMPARE(size, MicrophoneSource::framesPerBuffer);
        QVERIFY(audiotest::toneStrength(recording->samples(), 440) > 0.01);
    }

    void failsClearlyWithoutAnInputDevice() {
        audiotest::PrivateDaemon daemon; // one output, so only its monitor as a source
        QVERIFY(daemon.start());
        MicrophoneSource microphone(daemon.address());
        try {
            microphone.start(recorder(std::make_shared<Recording>()));
            QFAIL("a microphone was found on a server without one");
        } catch (const ServiceError& error) {
            QCOMPARE(error.domain(), QStringLiteral("Capture"));
            QCOMPARE(error.code(), 3);
            QCOMPARE(error.description(),
                     "No microphone was found. Connect a microphone and try again.");
        }
        MicrophoneSource unreachable("unix:/nonexistent/relayo/native");
        QVERIFY_THROWS_EXCEPTION(PulseError,
                                 unreachable.start(recorder(std::make_shared<Recording>())));
    }

    void clearsTheHandlerWhenTheServerGoesAway() {
        audiotest::PrivateDaemon daemon;
        QVERIFY(daemon.start());
        audiotest::pactl({"load-module", "module-remap-source", "source_name=private_mic",
                          "master=private_speakers.monitor"},
                         daemon.address());
        audiotest::pactl({"set-default-source", "private_mic"}, daemon.address());
        MicrophoneSource microphone(daemon.address());
        auto recording = std::make_shared<Recording>();
        std::weak_ptr<int> handler;
        microphone.start(recorder(recording, &handler));
        QTRY_VERIFY_WITH_TIMEOUT(recording->frameCount() > 0, timeout);
        daemon.stop();
        QTRY_VERIFY_WITH_TIMEOUT(handler.expired(), timeout);
        microphone.stop();
    }

private:
    QTemporaryDir m_folder;
    QString m_tone;
};

QTEST_GUILESS_MAIN(MicrophoneSourceTest)
#include "MicrophoneSourceTest.moc"
