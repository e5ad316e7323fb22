// The model folder's description files: "metadata.json" read into the streaming configuration,
// and "tokenizer.json" decoding token ids to text.
#include "speech-engine/model-files/NemotronStreamingConfig.h"
#include "speech-engine/model-files/StreamingAsrUtils.h"
#include "speech-engine/model-files/Tokenizer.h"
// "tokenizer.json" decoding token ids to text, and "manifest.json" judging the folder.
#include "speech-engine/core/ModelFolderManifest.h"
#include "speech-engine/core/ModelNames.h"
#include "speech-engine/hub/NemotronModelDownloader.h"
#include "tests/speech-engine/TestHelpers.h"

#include <QTemporaryDir>
#include <QTest>

namespace {

using Ids = std::vector<std::int64_t>;

// Words, markers and white space; language tags; keys that are no decimal numbers.
const QByteArray table =
    "{\"3\": \"\u2581a\", \"4\": \"b\", \"5\": \"\u2581\", \"6\": \"\\t\", \"7\": \"\\n\", "
    "\"10\": \"\u2581the\", \"11\": \"<ko-KR>\", \"12\": \"\u2581\ud68c\uc758\", "
    "\"14\": \"\uac10\uc0ac\", \"x9\": \"no\", \"9x\": \"no\", \"\": \"no\", \"+-1\": \"no\", "
    "\"99999999999999999999\": \"no\", \"\u0663\": \"no\"}";
const QString langTagPattern = QStringLiteral("\\s*<[a-z]{2}-[A-Z]{2}>");

} // namespace

class ModelFilesTest : public QObject {
    Q_OBJECT

    QTemporaryDir folder;

private slots:
    // A failure names the file's fault; a value metadata.json cannot hold keeps the default.
    void badFilesFailClearly_data() {
        QTest::addColumn<QString>("file");
        QTest::addColumn<QByteArray>("json"); // null: no file
        QTest::addColumn<QString>("failure"); // empty: the defaults
        const auto row = [](const char* name, const char* file, const QByteArray& json,
                            const QString& failure) {
            QTest::newRow(name) << QString(file) << json << failure;
        };
        const QString invalid = "Speech recognition failed: Invalid ";
        row("huge", "metadata.json", R"({"chunk_ms": 1e300})", {});
        row("no file", "metadata.json", QByteArray(), "Could not read");
        row("truncated", "metadata.json", R"({"chunk_ms": 5)", "is not valid JSON");
        row("no frames per chunk", "metadata.json", R"({"chunk_mel_frames": 0})",
            invalid + "chunk_mel_frames in metadata.json");
        row("bad pattern", "metadata.json", R"({"lang_tag_pattern": "*x"})",
            invalid + "lang_tag_pattern");
        row("token not text", "tokenizer.json", R"({"0": "a", "1": 2})",
            invalid + "tokenizer.json format");
    }
    void badFilesFailClearly() {
        QFETCH(QString, file);
        QFETCH(QByteArray, json);
        QFETCH(QString, failure);
        const auto path = json.isNull() ? folder.filePath("absent.json")
                                        : writeTestFile(folder.filePath(file), json);
        NemotronStreamingConfig config;
        const auto description = failureOf([&] {
            if (file == "tokenizer.json")
                Tokenizer(path, {});
            else
                config = NemotronStreamingConfig::fromFile(path);
        });
        QVERIFY2(description.contains(failure), qPrintable(description));
        if (failure.isEmpty())
            QCOMPARE(config, NemotronStreamingConfig());
    }

    // Complete means the engine's files are there at the sizes the manifest lists; a folder
    // imported before manifests needs only its files. Only a folder so marked may be replaced.
    void judgesModelFolders_data() {
        QTest::addColumn<QByteArray>("manifest"); // null: none
        QTest::addColumn<QString>("fault");       // empty: complete
        const auto row = [](const char* name, const QByteArray& manifest, const char* fault) {
            QTest::newRow(name) << manifest << QString(fault);
        };
        row("listed sizes",
            R"({"files": {"joint.pt": {"size": 1}, "encoder/encoder_int8.pt": {"size": 1}}})", "");
        row("imported before manifests", QByteArray(), "");
        row("truncated file", R"({"files": {"joint.pt": {"size": 2}}})",
            "joint.pt is 1 bytes, not the 2 it was imported with");
        row("listed file gone", R"({"files": {"vocab.txt": {"size": 2}}})",
            "vocab.txt is 0 bytes, not the 2");
        row("manifest cut short", R"({"files": )", "is not valid JSON");
        row("manifest listing nothing", "{}", "manifest.json lists no files");
    }
    void judgesModelFolders() {
        QFETCH(QByteArray, manifest);
        QFETCH(QString, fault);
        QTemporaryDir model;
        using namespace ModelNames::NemotronStreaming;
        for (const auto file :
             {preprocessorFile, encoderPath, decoderFile, jointFile, metadata, tokenizer})
            writeTestFile(model.filePath(file), "x");
        if (!manifest.isNull())
            writeTestFile(model.filePath(ModelNames::NemotronStreaming::manifest), manifest);
        const auto found = ModelFolderManifest::fault(model.path()).value_or(QString());
        QVERIFY2(fault.isEmpty() ? found.isEmpty() : found.contains(fault), qPrintable(found));
        QCOMPARE(NemotronModelDownloader::isModelComplete(model.path()), fault.isEmpty());
        QVERIFY(ModelFolderManifest::marksModelFolder(model.path()));
    }
    void marksOnlyModelFolders() {
        QTemporaryDir other;
        writeTestFile(other.filePath("metadata.json"), "{}");
        QVERIFY(!ModelFolderManifest::marksModelFolder(other.path()));
        QCOMPARE(ModelFolderManifest::fault(other.path()), "preprocessor.pt is missing");
        writeTestFile(other.filePath("manifest.json"), "{}");
        QVERIFY(ModelFolderManifest::marksModelFolder(other.path()));
    }

    // Language tags go from the decoded text with the spaces in front of them, not as ids.
    void decodes_data() {
        QTest::addColumn<Ids>("ids");
        QTest::addColumn<bool>("tagged"); // with the language-tag pattern
        QTest::addColumn<QString>("text");
        QTest::newRow("unknown id skipped") << Ids{3, 1024, 4} << true << "ab";
        QTest::newRow("lone markers trimmed") << Ids{5, 3, 5} << true << "a";
        QTest::newRow("tab trimmed, line break kept") << Ids{6, 3, 7} << true << "a\n";
        QTest::newRow("keys that are no numbers") << Ids{9, -1, 13} << true << "";
        QTest::newRow("leading tag") << Ids{11, 10, 12} << true << "the 회의";
        QTest::newRow("tag inside a word") << Ids{12, 11, 14} << true << "회의감사";
        QTest::newRow("no pattern") << Ids{10, 5, 11, 12} << false << "the <ko-KR> 회의";
    }
    void decodes() {
        QFETCH(Ids, ids);
        QFETCH(bool, tagged);
        QFETCH(QString, text);
        const Tokenizer tokenizer(writeTestFile(folder.filePath("tokenizer.json"), table),
                                  tagged ? langTagPattern : QString());
        QCOMPARE(tokenizer.decode(ids), text);
        QCOMPARE(StreamingAsrUtils::decodeTokens(ids, tokenizer), text);
    }
};

QTEST_GUILESS_MAIN(ModelFilesTest)
#include "ModelFilesTest.moc"
