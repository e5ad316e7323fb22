#include "speech-engine/audio/AudioConverter.h"
#include "tests/speech-engine/TestHelpers.h"

#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <cmath>
#include <functional>
#include <numbers>

namespace {

// `frames` of a 440 Hz sine at `rate`, with peak 0.5.
std::vector<float> sine(double rate, int frames) {
    std::vector<float> samples(static_cast<std::size_t>(frames));
    for (int i = 0; i < frames; ++i)
        samples[std::size_t(i)] = 0.5f * float(std::sin(2 * std::numbers::pi * 440 * i / rate));
    return samples;
}

PcmBuffer makeBuffer(double rate, int channels, int frames) {
    return PcmBuffer({rate, channels, SampleType::float32, false}, frames);
}

} // namespace

Q_DECLARE_METATYPE(PcmBuffer)

class AudioConverterTest : public QObject {
    Q_OBJECT

    const AudioConverter converter;
    QTemporaryDir folder;

private slots:
    // A tenth of a second of a 440 Hz sine, the channels averaged to mono at 16 kHz.
    void convertsToMono16kHz_data() {
        QTest::addColumn<PcmBuffer>("buffer");
        QTest::addColumn<float>("peak");
        auto floats = makeBuffer(48000, 1, 4800);
        std::ranges::copy(sine(48000, 4800), floats.samples<float>(0).begin());
        QTest::newRow("float 48 kHz") << floats << 0.5f;
        PcmBuffer integers({44100, 2, SampleType::int16, true}, 4410);
        auto samples = integers.samples<std::int16_t>(0);
        const auto wave = sine(44100, 4410);
        for (std::size_t i = 0; i < wave.size(); ++i)
            samples[2 * i] = std::int16_t(32768 * wave[i]); // beside a silent channel
        QTest::newRow("interleaved 16-bit 44.1 kHz stereo") << integers << 0.25f;
    }
    void convertsToMono16kHz() {
        QFETCH(PcmBuffer, buffer);
        QFETCH(float, peak);
        const auto result = converter.resampleBuffer(buffer);
        QVERIFY2(std::abs(int(result.size()) - 1600) <= 10,
                 qPrintable(QString::number(result.size())));
        const auto [low, high] = std::ranges::minmax(result);
        QVERIFY(std::abs(high - peak) < 0.02f && std::abs(low + peak) < 0.02f);
    }

    // Not-a-number and infinite samples, in the target format and in others, are refused too.
    // Empty input is empty.
    void unusableInputFailsClearly() {
        const auto notSound = writeTestFile(folder.filePath("notes.wav"), "Not a sound file.");
        auto notANumber = makeBuffer(16000, 1, 100), infinite = makeBuffer(48000, 6, 100);
        notANumber.samples<float>(0)[50] = NAN;
        infinite.samples<float>(0)[50] = -INFINITY;
        const QString notFinite =
            "Audio conversion failed: The audio holds samples that are not finite numbers.";
        // Decoding a file is libsndfile's; the importer's tests recognise the NeMo fixture's.
        const std::pair<QString, std::function<void()>> cases[] = {
            {"Failed to create a source audio format description",
             [&] { converter.resampleBuffer(makeBuffer(0, 1, 10)); }},
            {"Failed to create conversion buffer",
             [&] {
                 converter.resampleBuffer(PcmBuffer({48000, 3, SampleType::int16}, 10));
             }},
            {"Could not open audio file", [&] { converter.resampleAudioFile(notSound); }},
            {notFinite, [&] { converter.resampleBuffer(notANumber); }},
            {notFinite, [&] { converter.resampleBuffer(infinite); }},
        };
        for (const auto& [failure, operation] : cases)
            QVERIFY2(failureOf(operation).startsWith(failure), qPrintable(failure));
        QVERIFY(converter.resampleBuffer(makeBuffer(48000, 6, 0)).empty());
    }

    // Frames times channels beyond an int, as a sound file's header may claim, is refused
    // instead of wrapping to a small buffer.
    void refusesMoreSamplesThanABufferCounts() {
        const std::function<void()> tooLarge[] = {
            [] {
                PcmBuffer({48000, 65536, SampleType::float32, true}, 65536);
            },
            [] {
                PcmBuffer({48000, 1, SampleType::float32, false}, -1);
            },
            [] {
                PcmBuffer({48000, -2, SampleType::float32, true}, 1);
            },
        };
        for (const auto& operation : tooLarge)
            QVERIFY(failureOf(operation).startsWith("Failed to create conversion buffer"));
        PcmBuffer buffer({48000, 1 << 16, SampleType::int16, true}, 1);
        QVERIFY(!failureOf([&] { buffer.setFrameLength(1 << 15); }).isEmpty());
        QCOMPARE(buffer.frameLength(), 1);
    }
};

QTEST_GUILESS_MAIN(AudioConverterTest)
#include "AudioConverterTest.moc"
