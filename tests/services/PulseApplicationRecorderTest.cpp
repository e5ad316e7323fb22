#include "app/platform/PulseApplicationRecorder.h"
#include "tests/services/AudioTestSupport.h"

#include <QTest>
#include <atomic>
#include <mutex>

// The recorder behind the meeting capture, where it meets the sound server's own moves.
class PulseApplicationRecorderTest : public QObject {
    Q_OBJECT

private slots:
    // Moving a stream to another sink cuts its recording; the recorder records it there.
    void followsAStreamMovedToAnotherSink() {
        QTemporaryDir folder;
        auto meeting =
            audiotest::play(audiotest::makeTone(folder, 440, 60), QStringLiteral("Meeting"));
        std::mutex mutex;
        std::vector<float> heard;
        auto heardSoFar = [&] {
            std::lock_guard lock(mutex);
            return heard;
        };
        std::atomic<std::uint32_t> stream = 0;
        std::atomic<int> cuts = 0;
        PulseApplicationRecorder recorder(
            {}, meeting->processId(), 320,
            {[&](std::uint32_t index, std::span<const float> samples) {
                 stream = index;
                 std::lock_guard lock(mutex);
                 heard.insert(heard.end(), samples.begin(), samples.end());
             },
             [&](std::uint32_t) { ++cuts; }, [] {}});
        QTRY_VERIFY_WITH_TIMEOUT(heardSoFar().size() >= 8000, 20'000);

        audiotest::pactl({QStringLiteral("move-sink-input"), QString::number(stream),
                          QStringLiteral("mic_feed")});
        QTRY_COMPARE_WITH_TIMEOUT(cuts.load(), 1, 20'000);
        {
            std::lock_guard lock(mutex);
            heard.clear();
        }
        QTRY_VERIFY_WITH_TIMEOUT(heardSoFar().size() >= 8000, 20'000);
        QVERIFY(audiotest::toneStrength(heardSoFar(), 440) > 0.01);
    }
};

QTEST_GUILESS_MAIN(PulseApplicationRecorderTest)
#include "PulseApplicationRecorderTest.moc"
