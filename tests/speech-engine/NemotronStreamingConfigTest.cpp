#include "speech-engine/NemotronStreamingConfig.h"
#include "speech-engine/ASRError.h"
#include "speech-engine/NemotronChunkSize.h"
#include "tests/speech-engine/Failure.h"
#include "tests/speech-engine/TestFiles.h"

#include <QTemporaryDir>
#include <QTest>

#include <optional>

Q_DECLARE_METATYPE(std::optional<int>)

class NemotronStreamingConfigTest : public QObject {
    Q_OBJECT

    QTemporaryDir folder;

    NemotronStreamingConfig read(const QByteArray& content) {
        return NemotronStreamingConfig::fromFile(
            writeTestFile(folder.filePath("metadata.json"), content));
    }

private slots:
    void chunkSizeFromRawValue_data() {
        QTest::addColumn<int>("milliseconds");
        QTest::addColumn<bool>("accepted");
        for (int ms : {80, 160, 560, 1120})
            QTest::addRow("%d", ms) << ms << true;
        for (int ms : {320, 0, -80, 1121})
            QTest::addRow("%d", ms) << ms << false;
    }
    void chunkSizeFromRawValue() {
        QFETCH(int, milliseconds);
        QFETCH(bool, accepted);
        const auto size = NemotronChunkSize::fromRawValue(milliseconds);
        QCOMPARE(size.has_value(), accepted);
        if (size)
            QCOMPARE(size->rawValue(), milliseconds);
    }

    void chunkSizesNameTheirVariants() {
        QList<int> order;
        for (auto size : NemotronChunkSize::allCases())
            order.append(size.rawValue());
        QCOMPARE(order, (QList<int>{1120, 560, 160, 80}));

        const NemotronChunkSize ms80 = NemotronChunkSize::ms80;
        QCOMPARE(ms80.subdirectory(), "nemotron_coreml_80ms");
        QCOMPARE(ms80.repo().folderName(), "nemotron-streaming/80ms");
        QCOMPARE(NemotronChunkSize(NemotronChunkSize::ms560).repo().folderName(),
                 "nemotron-streaming/560ms-macos14");
        for (auto size : NemotronChunkSize::allCases())
            QCOMPARE(size.repo().subPath(), size.subdirectory());
    }

    void repositoryIsPinnedToOneCommit() {
        qunsetenv("RLY_MODEL_REPO");
        qunsetenv("RLY_MODEL_REVISION");
        QCOMPARE(Repo::remotePath(), "Quillory/nemotron-speech-streaming-en-0.6b-coreml");
        QVERIFY(QRegularExpression("^[0-9a-f]{40}$").match(Repo::revision()).hasMatch());
    }

    void emptyObjectYieldsTheDefaults() {
        const auto config = read("{}");
        QCOMPARE(config, NemotronStreamingConfig());
        QCOMPARE(config.melHopSamples * config.chunkMelFrames, 17920);
        QCOMPARE(config.melLeftContextSamples + config.melRightContextSamples, 512 + 1);
        QCOMPARE(config.minFinalMelFrames, 8);
        QCOMPARE(config.maxSymbolsPerFrame, 10);
        QCOMPARE(config.langTagPattern, QString());
        QCOMPARE(config.cacheChannelShape, (std::vector<std::int64_t>{1, 24, 70, 1024}));
        QCOMPARE(config.cacheTimeShape, (std::vector<std::int64_t>{1, 24, 1024, 8}));
    }

    void readsEveryKey() {
        const auto config = read(R"({"sample_rate": 8000, "mel_features": 80,
            "chunk_mel_frames": 56, "chunk_ms": 560, "pre_encode_cache": 7,
            "total_mel_frames": 63, "vocab_size": 500, "blank_idx": 500, "encoder_dim": 512,
            "decoder_hidden": 320, "decoder_layers": 1, "cache_channel_shape": [1, 2, 3, 4],
            "cache_time_shape": [5, 6], "mel_hop_samples": 80, "mel_left_context_samples": 129,
            "mel_right_context_samples": 128, "min_final_mel_frames": 4,
            "max_symbols_per_frame": 5, "lang_tag_pattern": "<[a-z]{2}>", "unknown": true})");
        NemotronStreamingConfig expected{8000, 80,  56,          560,          7,      63, 500, 500,
                                         512,  320, 1,           {1, 2, 3, 4}, {5, 6}, 80, 129, 128,
                                         4,    5,   "<[a-z]{2}>"};
        QCOMPARE(config, expected);
    }

    void valuesOfAnotherTypeKeepTheDefault_data() {
        QTest::addColumn<QByteArray>("json");
        QTest::newRow("string") << QByteArray(R"({"chunk_ms": "560"})");
        QTest::newRow("fraction") << QByteArray(R"({"chunk_ms": 560.5})");
        QTest::newRow("null") << QByteArray(R"({"chunk_ms": null})");
        QTest::newRow("object") << QByteArray(R"({"chunk_ms": {"value": 560}})");
        QTest::newRow("huge") << QByteArray(R"({"chunk_ms": 1e300})");
        QTest::newRow("shape of strings") << QByteArray(R"({"cache_time_shape": ["1", 2]})");
        QTest::newRow("shape a number") << QByteArray(R"({"cache_time_shape": 8})");
    }
    void valuesOfAnotherTypeKeepTheDefault() {
        QFETCH(QByteArray, json);
        QCOMPARE(read(json), NemotronStreamingConfig());
    }

    void badFilesFail_data() {
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<QString>("failure");
        QTest::newRow("array") << QByteArray("[1, 2]")
                               << "Speech recognition failed: Invalid metadata.json format";
        QTest::newRow("truncated") << QByteArray(R"({"chunk_ms": 5)") << "is not valid JSON";
        QTest::newRow("not UTF-8") << QByteArray("{\"\xc3\x28\": 1}") << "is not valid JSON";
        QTest::newRow("empty") << QByteArray() << "is not valid JSON";
        QTest::newRow("no frames per chunk")
            << QByteArray(R"({"chunk_mel_frames": 0})")
            << "Speech recognition failed: Invalid chunk_mel_frames in metadata.json";
        QTest::newRow("negative hop") << QByteArray(R"({"mel_hop_samples": -160})")
                                      << "Invalid mel_hop_samples in metadata.json";
        QTest::newRow("no symbols") << QByteArray(R"({"max_symbols_per_frame": 0})")
                                    << "Invalid max_symbols_per_frame in metadata.json";
        QTest::newRow("negative cache") << QByteArray(R"({"pre_encode_cache": -1})")
                                        << "Invalid pre_encode_cache in metadata.json";
        QTest::newRow("bad pattern") << QByteArray(R"({"lang_tag_pattern": "*x"})")
                                     << "Invalid lang_tag_pattern in metadata.json";
    }
    void badFilesFail() {
        QFETCH(QByteArray, json);
        QFETCH(QString, failure);
        const auto description = failureOf([&] { read(json); });
        QVERIFY2(description.contains(failure), qPrintable(description));
    }

    void missingFileFails() {
        const auto description =
            failureOf([&] { NemotronStreamingConfig::fromFile(folder.filePath("absent.json")); });
        QVERIFY2(description.startsWith("Could not read"), qPrintable(description));
    }

    void errorDescriptions() {
        QCOMPARE(ASRError::notInitialized().what(), "Nemotron is not initialized.");
        QCOMPARE(ASRError::processingFailed("boom").what(), "Speech recognition failed: boom");
        const auto error = ASRError::streamingConversionFailed(std::runtime_error("bad rate"));
        QCOMPARE(error.what(), "Audio conversion failed: bad rate");
        QCOMPARE(error.kind(), ASRError::Kind::streamingConversionFailed);
    }
};

QTEST_GUILESS_MAIN(NemotronStreamingConfigTest)
#include "NemotronStreamingConfigTest.moc"
