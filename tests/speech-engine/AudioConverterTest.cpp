#include "speech-engine/AudioConverter.h"
#include "speech-engine/AudioConverterError.h"
#include "speech-engine/AudioWAV.h"
#include "tests/speech-engine/Failure.h"

#include <QTemporaryDir>
#include <QTest>
#include <QtEndian>

#include <sndfile.h>

#include <cmath>
#include <cstring>
#include <limits>

namespace {

constexpr double pi = 3.14159265358979323846;

PcmBuffer makeBuffer(double rate, int channels, int frames, bool interleaved = false) {
    return PcmBuffer({rate, channels, SampleType::float32, interleaved}, frames);
}

// Channel c carries a sine of `hertz` scaled by `gains[c]`.
PcmBuffer sineBuffer(double rate, std::vector<float> gains, int frames, double hertz = 440) {
    auto buffer = makeBuffer(rate, int(gains.size()), frames);
    for (std::size_t c = 0; c < gains.size(); ++c) {
        auto samples = buffer.samples<float>(int(c));
        for (int i = 0; i < frames; ++i)
            samples[i] = gains[c] * float(std::sin(2 * pi * hertz * i / rate));
    }
    return buffer;
}

float peakOf(std::span<const float> samples) {
    float peak = 0;
    for (auto s : samples)
        peak = std::max(peak, std::abs(s));
    return peak;
}

bool writeSoundFile(const QString& path, int format, int rate, int channels, int frames) {
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = channels;
    info.format = format;
    SNDFILE* file = sf_open(QFile::encodeName(path).constData(), SFM_WRITE, &info);
    if (!file)
        return false;
    std::vector<float> interleaved(std::size_t(frames * channels));
    for (int i = 0; i < frames; ++i)
        for (int c = 0; c < channels; ++c)
            interleaved[std::size_t(i * channels + c)] =
                0.5f * float(std::sin(2 * pi * 440 * i / rate));
    sf_writef_float(file, interleaved.data(), frames);
    sf_close(file);
    return true;
}

} // namespace

class AudioConverterTest : public QObject {
    Q_OBJECT

    const AudioConverter converter;
    QTemporaryDir folder;

private slots:
    void targetFormatIsCopiedBitForBit() {
        auto buffer = makeBuffer(16000, 1, 5);
        const std::vector<float> values{-0.0f, 1e-42f, 0.25f, -1.5f, 3.0f};
        std::copy(values.begin(), values.end(), buffer.samples<float>(0).begin());
        QVERIFY(converter.isTargetFormat(buffer.format()));
        const auto result = converter.resampleBuffer(buffer);
        QCOMPARE(result.size(), values.size());
        QCOMPARE(std::memcmp(result.data(), values.data(), values.size() * sizeof(float)), 0);
    }

    void stereoAt48kHzBecomesMonoAt16kHz() {
        const auto buffer = sineBuffer(48000, {0.5f, 0.5f}, 4800);
        const auto result = converter.resampleBuffer(buffer);
        QVERIFY2(result.size() >= 1590 && result.size() <= 1610,
                 qPrintable(QString::number(result.size())));
        QVERIFY(std::abs(peakOf(result) - 0.5f) < 0.02f);
    }

    void stereoIsMixedToTheMeanOfItsChannels() {
        const auto result = converter.resampleBuffer(sineBuffer(48000, {0.5f, -0.5f}, 4800));
        QVERIFY(peakOf(result) < 1e-3f);
    }

    void integerAndInterleavedInputIsConverted() {
        PcmBuffer buffer({44100, 2, SampleType::int16, true}, 4410);
        auto samples = buffer.samples<std::int16_t>(0);
        for (int i = 0; i < 4410; ++i)
            samples[2 * i] = samples[2 * i + 1] =
                std::int16_t(16384 * std::sin(2 * pi * 440 * i / 44100));
        const auto result = converter.resampleBuffer(buffer);
        QVERIFY(std::abs(int(result.size()) - 1600) <= 10);
        QVERIFY(std::abs(peakOf(result) - 0.5f) < 0.02f);
    }

    void manyChannelsAreAveragedThenInterpolated() {
        auto buffer = makeBuffer(48000, 6, 10);
        for (int c = 0; c < 6; ++c)
            for (int i = 0; i < 10; ++i)
                buffer.samples<float>(c)[i] = float(i * 6 + c);
        // The mean of the six channels at frame i is 6 i + 2.5.
        QCOMPARE(converter.resampleBuffer(buffer), (std::vector<float>{2.5f, 20.5f, 38.5f}));
        QCOMPARE(converter.convertBuffer(buffer, buffer.format()).size(), 10u);
        QCOMPARE(converter.convertBuffer(buffer, buffer.format())[9], 56.5f);
        QCOMPARE(converter.convertBuffer(buffer, {32000, 1, SampleType::float32, false}),
                 (std::vector<float>{2.5f, 11.5f, 20.5f, 29.5f, 38.5f, 47.5f}));
    }

    void emptyInputGivesEmptyOutput_data() {
        QTest::addColumn<double>("rate");
        QTest::addColumn<int>("channels");
        QTest::newRow("mono 16 kHz") << 16000.0 << 1;
        QTest::newRow("stereo 48 kHz") << 48000.0 << 2;
        QTest::newRow("six channels") << 48000.0 << 6;
    }
    void emptyInputGivesEmptyOutput() {
        QFETCH(double, rate);
        QFETCH(int, channels);
        QVERIFY(converter.resampleBuffer(makeBuffer(rate, channels, 0)).empty());
        QVERIFY(converter.resample({}, rate).empty());
        QVERIFY(converter.resampleSampleBlock({PcmFormat{rate, channels}, {}, 0}).empty());
    }

    void resampleKeepsSamplesAtTheTargetRate() {
        const std::vector<float> samples{0.1f, 0.2f};
        QCOMPARE(converter.resample(samples, 16000), samples);
        QVERIFY(std::abs(int(converter.resample(std::vector<float>(8000, 0.1f), 8000).size()) -
                         16000) <= 10);
    }

    void badSamplesFail_data() {
        QTest::addColumn<float>("sample");
        QTest::addColumn<double>("rate");
        QTest::addColumn<int>("channels");
        const float nan = std::numeric_limits<float>::quiet_NaN();
        const float infinity = std::numeric_limits<float>::infinity();
        QTest::newRow("NaN, target format") << nan << 16000.0 << 1;
        QTest::newRow("NaN, stereo") << nan << 48000.0 << 2;
        QTest::newRow("infinity, mono") << infinity << 44100.0 << 1;
        QTest::newRow("minus infinity, six channels") << -infinity << 48000.0 << 6;
    }
    void badSamplesFail() {
        QFETCH(float, sample);
        QFETCH(double, rate);
        QFETCH(int, channels);
        auto buffer = makeBuffer(rate, channels, 100);
        buffer.samples<float>(0)[50] = sample;
        const QString failure =
            "Audio conversion failed: The audio holds samples that are not finite numbers.";
        QCOMPARE(failureOf([&] { converter.resampleBuffer(buffer); }), failure);
        const std::vector<float> samples{0.0f, sample};
        QCOMPARE(failureOf([&] { converter.resample(samples, rate); }), failure);
    }

    void unusableFormatsFail() {
        const QString failure =
            "Failed to create a source audio format description for CMSampleBuffer.";
        QCOMPARE(failureOf([&] { converter.resampleBuffer(makeBuffer(0, 1, 10)); }), failure);
        QCOMPARE(failureOf([&] { converter.resample(std::vector<float>(10), -1); }), failure);
        QCOMPARE(failureOf([&] {
                     converter.resampleWithSoxr(std::vector<float>(10), 48000, std::nan(""));
                 }),
                 failure);
        PcmBuffer integers({48000, 3, SampleType::int16, false}, 10);
        QCOMPARE(failureOf([&] { converter.resampleBuffer(integers); }),
                 "Failed to create conversion buffer");
    }

    void sampleBlocks() {
        QCOMPARE(failureOf([&] {
                     converter.resampleSampleBlock({std::nullopt, {}, 10});
                 }),
                 "Sample buffer is missing a valid audio format description.");
        const PcmFormat stereo{48000, 2, SampleType::float32, true};
        QCOMPARE(failureOf([&] {
                     converter.resampleSampleBlock({stereo, std::vector<std::byte>(100), 4800});
                 }),
                 "Failed to copy samples from CMSampleBuffer (status: -12737)");
        const auto source = sineBuffer(48000, {0.5f}, 4800);
        const auto bytes = source.plane(0);
        SampleBlock block{source.format(), {bytes.begin(), bytes.end()}, 4800};
        QCOMPARE(converter.resampleSampleBlock(block), converter.resampleBuffer(source));
    }

    void audioFiles_data() {
        QTest::addColumn<int>("format");
        QTest::addColumn<QString>("name");
        QTest::newRow("WAV") << (SF_FORMAT_WAV | SF_FORMAT_PCM_16) << "a.wav";
        QTest::newRow("AIFF") << (SF_FORMAT_AIFF | SF_FORMAT_PCM_24) << "a.aiff";
        QTest::newRow("FLAC") << (SF_FORMAT_FLAC | SF_FORMAT_PCM_16) << "a.flac";
        QTest::newRow("MP3") << (SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III) << "a.mp3";
    }
    void audioFiles() {
        QFETCH(int, format);
        QFETCH(QString, name);
        const auto path = folder.filePath(name);
        if (!writeSoundFile(path, format, 48000, 2, 96000))
            QSKIP("libsndfile cannot write this format here");
        const auto samples = converter.resampleAudioFile(path);
        QVERIFY2(std::abs(int(samples.size()) - 32000) <= 1200,
                 qPrintable(QString::number(samples.size())));
        QVERIFY(std::abs(peakOf(samples) - 0.5f) < 0.05f);
    }

    void filesThatAreNotAudioFail() {
        const auto path = folder.filePath("notes.wav");
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("This is not a sound file at all.");
        file.close();
        QVERIFY(failureOf([&] {
                    converter.resampleAudioFile(path);
                }).startsWith("Could not open audio file"));
        QVERIFY(failureOf([&] {
                    converter.resampleAudioFile(folder.filePath("absent.wav"));
                }).startsWith("Could not open audio file"));
    }

    void wavImage() {
        const std::vector<float> samples{0.25f, -0.5f};
        const auto image = AudioWAV::data(samples, 16000);
        QCOMPARE(image.size(), 48);
        QCOMPARE(image.left(4), "RIFF");
        QCOMPARE(qFromLittleEndian<quint32>(image.constData() + 4), 40u);
        QCOMPARE(image.mid(8, 8), "WAVEfmt ");
        QCOMPARE(qFromLittleEndian<quint32>(image.constData() + 16), 16u);
        QCOMPARE(qFromLittleEndian<quint16>(image.constData() + 20), 1);
        QCOMPARE(qFromLittleEndian<quint16>(image.constData() + 22), 1);
        QCOMPARE(qFromLittleEndian<quint32>(image.constData() + 24), 16000u);
        QCOMPARE(qFromLittleEndian<quint32>(image.constData() + 28), 32000u);
        QCOMPARE(qFromLittleEndian<quint16>(image.constData() + 32), 2);
        QCOMPARE(qFromLittleEndian<quint16>(image.constData() + 34), 16);
        QCOMPARE(image.mid(36, 4), "data");
        QCOMPARE(qFromLittleEndian<quint32>(image.constData() + 40), 4u);
        QCOMPARE(qFromLittleEndian<qint16>(image.constData() + 44), 16383);
        QCOMPARE(qFromLittleEndian<qint16>(image.constData() + 46), -32767);
    }

    void wavImageOfSilenceAndNothing() {
        QCOMPARE(AudioWAV::data({}, 16000).size(), 44);
        const auto silence = AudioWAV::data(std::vector<float>(3, 0.0f), 8000);
        QCOMPARE(silence.mid(44), QByteArray(6, '\0'));
    }

    void wavImageRefusesBadInput() {
        const std::vector<float> withNaN{0.1f, std::numeric_limits<float>::quiet_NaN()};
        QCOMPARE(failureOf([&] { AudioWAV::data(withNaN, 16000); }),
                 "Audio conversion failed: The audio holds samples that are not finite numbers.");
        QCOMPARE(failureOf([&] { AudioWAV::data(std::vector<float>{0.1f}, 0); }),
                 "Failed to create a source audio format description for CMSampleBuffer.");
    }
};

QTEST_GUILESS_MAIN(AudioConverterTest)
#include "AudioConverterTest.moc"
