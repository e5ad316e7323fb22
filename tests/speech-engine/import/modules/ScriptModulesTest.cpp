// The preprocessor, decoder and joint built from the NeMo fixtures reproduce NeMo's outputs.

#include "speech-engine/import/modules/ScriptModuleBuilder.h"
#include "speech-engine/runtime/ModelRunner.h"
#include "tests/speech-engine/import/NemoFixture.h"
#include "tests/speech-engine/import/Npy.h"

#include <QTemporaryDir>
#include <QTest>

#include <algorithm>

namespace {

constexpr int leftContext = 257;  // n_fft / 2 + the pre-emphasis sample
constexpr int rightContext = 256; // n_fft / 2
constexpr int hop = 160;

// The preprocessor's input for mel frames [first, end) of `signal`, as the engine cuts it.
ModelFeatures melRequest(const std::vector<float>& signal, std::int64_t first, std::int64_t end) {
    const std::int64_t start = first * hop - leftContext;
    const std::int64_t count = (end - first - 1) * hop + leftContext + rightContext;
    auto audio = MultiArray::createZeroed({1, count}, MultiArrayDataType::float32);
    for (std::int64_t i = std::max<std::int64_t>(0, -start);
         i < count && start + i < std::int64_t(signal.size()); ++i)
        audio.data<float>()[i] = signal[start + i];
    auto length = MultiArray::createZeroed({1}, MultiArrayDataType::int32);
    *length.data<std::int32_t>() =
        std::int32_t(std::min<std::int64_t>(count, std::int64_t(signal.size()) - start));
    return {{"audio", audio}, {"audio_length", length}};
}

} // namespace

class ScriptModulesTest : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;

    std::unique_ptr<ModelRunner> saved(const std::string& variant, const char* module) {
        const auto file = m_dir.filePath(QString::fromStdString(variant) + module).toStdString();
        const auto checkpoint = NemoFixture::checkpoint(variant);
        if (std::string_view(module) == "preprocessor")
            ScriptModuleBuilder::savePreprocessor(checkpoint, file);
        else if (std::string_view(module) == "decoder")
            ScriptModuleBuilder::saveDecoder(checkpoint, file);
        else
            ScriptModuleBuilder::saveJoint(checkpoint, file);
        return ModelRunner::load(file, {1});
    }

private slots:
    // The whole signal at once, and each chunk's new frames with the pre-encode frames before
    // them, as the engine asks for them.
    void preprocessorMatchesNemo_data() {
        QTest::addColumn<QString>("variant");
        QTest::addColumn<QString>("stream"); // empty: the whole signal
        QTest::newRow("en") << "en"
                            << "";
        QTest::newRow("multi") << "multi"
                               << "";
        QTest::newRow("en 560 ms") << "en"
                                   << "stream_560ms";
        QTest::newRow("multi 160 ms") << "multi"
                                      << "stream_160ms";
    }
    void preprocessorMatchesNemo() {
        QFETCH(QString, variant);
        QFETCH(QString, stream);
        const auto signal = Npy::read(nemoFixturePath("input_audio.npy")).floats;
        const auto preprocessor = saved(variant.toStdString(), "preprocessor");
        if (stream.isEmpty()) {
            const auto reference = Npy::read(nemoFixturePath(variant.toStdString() + "/mel.npy"));
            const auto frames = reference.shape[2];
            QCOMPARE(frames, std::int64_t(1 + signal.size() / hop));
            const auto mel = preprocessor->predict(melRequest(signal, 0, frames)).at("mel");
            QCOMPARE(mel.shape(), reference.shape);
            const auto failure = NemoFixture::mismatch(mel, reference.floats);
            QVERIFY2(failure.isEmpty(), qPrintable(failure));
            QCOMPARE(mel.at<float>({0, 5, frames - 1}), 0.0f); // the masked final frame
            return;
        }
        const auto windows = Npy::read(
            nemoFixturePath(variant.toStdString() + "/" + stream.toStdString() + "/mel.npy"));
        const std::int64_t chunks = windows.shape[0], features = windows.shape[2],
                           width = windows.shape[3], cache = 9, chunk = width - cache;
        for (std::int64_t k = 0; k < chunks; ++k) {
            const auto first = std::max<std::int64_t>(0, k * chunk - cache);
            const auto mel =
                preprocessor->predict(melRequest(signal, first, (k + 1) * chunk)).at("mel");
            const auto skipped = first - (k * chunk - cache); // zero frames before the signal
            std::vector<float> expected;
            for (std::int64_t f = 0; f < features; ++f) {
                const auto row = windows.floats.begin() + (k * features + f) * width;
                expected.insert(expected.end(), row + skipped, row + width);
            }
            QCOMPARE(mel.shape()[2], width - skipped);
            const auto failure = NemoFixture::mismatch(mel, expected);
            QVERIFY2(failure.isEmpty(), qPrintable(QString("chunk %1: %2").arg(k).arg(failure)));
        }
    }

    // Through the joint's projections, as decoding runs it.
    void decoderAndJointMatchEveryStep_data() {
        QTest::addColumn<QString>("variant");
        QTest::newRow("en") << "en";
        QTest::newRow("multi") << "multi";
    }
    void decoderAndJointMatchEveryStep() {
        QFETCH(QString, variant);
        const auto v = variant.toStdString();
        const auto failure = NemoFixture::stepMismatch(v, *saved(v, "decoder"), *saved(v, "joint"));
        QVERIFY2(failure.isEmpty(), qPrintable(failure));
    }
};

QTEST_GUILESS_MAIN(ScriptModulesTest)
#include "ScriptModulesTest.moc"
