#include "app/services/audio/MicrophoneSource.h"
#include "app/workflow/ServiceError.h"
#include "tests/services/AudioTestSupport.h"

#include <QTest>

using audiotest::Recording;

constexpr int timeout = 60000;

// Delivery from the shared server's microphone is part of the Korean speech service's tests.
class MicrophoneSourceTest : public QObject {
    Q_OBJECT

private slots:
    // On a server with one output, only its monitor is a source: no microphone.
    void failsClearlyWithoutAnInputAndOtherwiseDeliversUntilTheServerGoes() {
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
        auto first = std::make_shared<Recording>();
        microphone.start(first->handler());
        auto recording = std::make_shared<Recording>();
        microphone.start(recording->handler());
        QVERIFY(first->released());
        QTRY_VERIFY_WITH_TIMEOUT(recording->samples().size() > 0, timeout);
        daemon.stop();
        QTRY_VERIFY_WITH_TIMEOUT(recording->released(), timeout);
        microphone.stop();
    }
};

QTEST_GUILESS_MAIN(MicrophoneSourceTest)
#include "MicrophoneSourceTest.moc"
