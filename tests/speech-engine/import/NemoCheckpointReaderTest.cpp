#include "speech-engine/import/NemoCheckpointReader.h"
#include "speech-engine/import/ModelImporter.h"
#include "tests/speech-engine/import/ArchiveTestSupport.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <cstring>
#include <functional>

namespace fs = std::filesystem;
using ArchiveTestSupport::Member;
using Members = std::vector<Member>;
using Edit = std::function<void(Members&)>;

namespace {

const fs::path fixtures = fs::path(RELAYO_SOURCE_DIR) / "../shared/fixtures/nemo";

QJsonDocument readJson(const fs::path& path) {
    return QJsonDocument::fromJson(QByteArray::fromStdString(ArchiveTestSupport::readFile(path)));
}

Member& member(Members& members, const std::string& suffix) {
    const auto found = std::find_if(members.begin(), members.end(),
                                    [&](const Member& m) { return m.name.ends_with(suffix); });
    if (found == members.end())
        throw std::runtime_error("no member " + suffix);
    return *found;
}

Edit replaceInConfig(const std::string& from, const std::string& to) {
    return [=](Members& members) {
        std::string& config = member(members, "model_config.yaml").content;
        const auto at = config.find(from);
        QVERIFY2(at != std::string::npos, from.c_str());
        config.replace(at, from.size(), to);
    };
}

Edit drop(const std::string& suffix) {
    return [=](Members& members) {
        std::erase_if(members, [&](const Member& m) { return m.name.ends_with(suffix); });
    };
}

Edit add(Member extra) {
    return [=](Members& members) { members.push_back(extra); };
}

// Rewrites the weights file as PyTorch 2.x lays it out: another top folder, a byte-order entry
// and the newer bookkeeping entries.
Edit torch2Weights(const std::string& byteOrder) {
    return [=](Members& members) {
        std::string& weights = member(members, "model_weights.ckpt").content;
        Members entries = ArchiveTestSupport::readMembers(weights);
        for (Member& entry : entries)
            entry.name.replace(0, std::strlen("model_weights/"), "archive/");
        for (const Member& extra : Members{{"archive/byteorder", byteOrder},
                                           {"archive/.format_version", "1"},
                                           {"archive/.storage_alignment", "64"},
                                           {"archive/.data/serialization_id", "0123456789"},
                                           {"archive/.data/version", "3\n"}})
            entries.push_back(extra);
        weights = ArchiveTestSupport::storedZip(entries);
    };
}

// Replaces bytes in the weights' pickled index.
Edit patchWeightsIndex(const std::string& from, const std::string& to) {
    return [=](Members& members) {
        std::string& weights = member(members, "model_weights.ckpt").content;
        Members entries = ArchiveTestSupport::readMembers(weights);
        std::string& pickle = member(entries, "data.pkl").content;
        const auto at = pickle.find(from);
        QVERIFY(at != std::string::npos);
        pickle.replace(at, from.size(), to);
        weights = ArchiveTestSupport::storedZip(entries);
    };
}

} // namespace

class NemoCheckpointReaderTest : public QObject {
    Q_OBJECT

    QTemporaryDir folder;
    const fs::path scratch = fs::path(folder.path().toStdString()) / "scratch";

    fs::path write(const std::string& bytes) {
        const fs::path path = fs::path(folder.path().toStdString()) / "checkpoint.nemo";
        ArchiveTestSupport::writeFile(path, bytes);
        return path;
    }

    std::string englishWith(const Edit& edit, bool gzip = false) {
        Members members = ArchiveTestSupport::readMembers(
            ArchiveTestSupport::readFile(fixtures / "small-en.nemo"));
        edit(members);
        return ArchiveTestSupport::tar(members, gzip);
    }

    bool scratchIsEmpty() const { return !fs::exists(scratch) || fs::is_empty(scratch); }

private slots:
    void readsFixtures_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<qint64>("vocabulary");
        QTest::addColumn<bool>("prompted");
        QTest::newRow("English") << "en" << qint64(120) << false;
        QTest::newRow("multilingual") << "multi" << qint64(122) << true;
    }
    void readsFixtures() {
        QFETCH(QString, name);
        QFETCH(qint64, vocabulary);
        QFETCH(bool, prompted);
        const fs::path answers = fixtures / name.toStdString();
        const auto checkpoint = NemoCheckpointReader::read(
            fixtures / ("small-" + name.toStdString() + ".nemo"), scratch);
        QVERIFY(scratchIsEmpty());

        const auto& c = checkpoint.config;
        QCOMPARE(c.decoder.vocabSize, vocabulary);
        QCOMPARE(c.preprocessor.windowSamples, 400);
        QCOMPARE(c.preprocessor.hopSamples, 160);
        QCOMPARE(c.encoder.dModel, 96);
        QCOMPARE(c.encoder.subsamplingConvChannels, 48);
        QCOMPARE(c.encoder.convNormType, "layer_norm");
        QVERIFY(!c.encoder.useBias && !c.encoder.xscaling);
        const std::vector<std::pair<std::int64_t, std::int64_t>> contexts{
            {70, 6}, {70, 1}, {70, 13}, {70, 0}};
        QCOMPARE(c.encoder.attContextSizes, contexts);
        QCOMPARE(c.decoding.maxSymbols, 10);
        QCOMPARE(c.decoding.stripLangTags, prompted);
        QCOMPARE(c.prompt.enabled, prompted);
        if (prompted) {
            QCOMPARE(c.prompt.dictionary.at("ko-KR"), 14);
            QCOMPARE(c.prompt.numPrompts, 128);
            QCOMPARE(checkpoint.weights.at("prompt_kernel.0.weight").shape,
                     (std::vector<std::int64_t>{192, 224}));
        }

        // Every tensor the model holds, with NeMo's shapes; BatchNorm counters are dropped.
        const QJsonObject stateDict = readJson(answers / "info.json")["state_dict"].toObject();
        QCOMPARE(checkpoint.weights.size(), std::size_t(stateDict.size()));
        for (const auto& [tensorName, tensor] : checkpoint.weights) {
            QVERIFY2(stateDict.contains(QString::fromStdString(tensorName)), tensorName.c_str());
            std::vector<std::int64_t> shape;
            for (const auto& size : stateDict[QString::fromStdString(tensorName)].toArray())
                shape.push_back(size.toInteger());
            QCOMPARE(tensor.shape, shape);
        }
        const float* rows = checkpoint.weights.at("decoder.prediction.embed.weight").floats();
        QVERIFY(std::all_of(rows + vocabulary * 48, rows + (vocabulary + 1) * 48,
                            [](float v) { return v == 0.0f; })); // the blank's padding row

        const QJsonArray pieces = readJson(answers / "pieces.json").array();
        QCOMPARE(checkpoint.pieces.size(), std::size_t(pieces.size()));
        for (int id = 0; id < pieces.size(); ++id)
            QCOMPARE(QString::fromStdString(checkpoint.pieces[std::size_t(id)]),
                     pieces[id].toString());
    }

    void readsOtherWriters_data() {
        QTest::addColumn<Edit>("edit");
        QTest::addColumn<bool>("gzip");
        QTest::newRow("gzip-compressed") << Edit([](Members&) {}) << true;
        QTest::newRow("PyTorch 2.x weights") << torch2Weights("little\n") << false;
        QTest::newRow("extra members") << add({"./notes/README.txt", "hello"}) << false;
    }
    void readsOtherWriters() {
        QFETCH(Edit, edit);
        QFETCH(bool, gzip);
        const auto checkpoint = NemoCheckpointReader::read(write(englishWith(edit, gzip)), scratch);
        QVERIFY(scratchIsEmpty());
        QCOMPARE(checkpoint.pieces.size(), std::size_t(120));
        QCOMPARE(checkpoint.weights.at("encoder.pre_encode.out.weight").shape,
                 (std::vector<std::int64_t>{96, 816}));
    }

    // pre_encode.out.weight [96, 816] saved as the transpose of its storage: strides (1, 96).
    void readsStridedTensorsInRowMajorOrder() {
        const auto plain = NemoCheckpointReader::read(fixtures / "small-en.nemo", scratch);
        const auto strided = NemoCheckpointReader::read(
            write(englishWith(patchWeightsIndex({"M\x30\x03K\x01\x86", 6}, "K\x01K\x60\x86"))),
            scratch);
        const std::string name = "encoder.pre_encode.out.weight";
        QCOMPARE(strided.weights.at(name).strides, (std::vector<std::int64_t>{816, 1}));
        const float* stored = plain.weights.at(name).floats();
        const float* gathered = strided.weights.at(name).floats();
        for (const auto& [row, column] : {std::pair{0, 0}, std::pair{1, 0}, std::pair{0, 1},
                                          std::pair{95, 815}, std::pair{37, 500}})
            QCOMPARE(gathered[row * 816 + column], stored[row + column * 96]);
    }

    void refusesBadCheckpoints_data() {
        QTest::addColumn<std::string>("archive");
        QTest::addColumn<QString>("failure");
        const std::string english = ArchiveTestSupport::readFile(fixtures / "small-en.nemo");
        std::string absurd = englishWith([](Members&) {});
        ArchiveTestSupport::setDeclaredSize(absurd, "./model_weights.ckpt", std::uint64_t{1} << 40);

        QTest::newRow("truncated") << english.substr(0, english.size() * 3 / 5) << "truncated";
        QTest::newRow("not an archive") << std::string(4096, 'x') << "Cannot open the checkpoint";
        QTest::newRow("missing weights")
            << englishWith(drop("model_weights.ckpt")) << "has no model_weights.ckpt";
        QTest::newRow("missing tokenizer")
            << englishWith(drop("_tokenizer.model"))
            << "has no c11dad9e00c5438787a69f10357fffff_tokenizer.model";
        QTest::newRow("name with ..") << englishWith(add({"./../escape.txt", "x"})) << "\"..\"";
        QTest::newRow("absolute path")
            << englishWith(add({"/tmp/escape.txt", "x"})) << "absolute path";
        QTest::newRow("symlink") << englishWith(add({"./model_weights.ckpt.link", "/etc/passwd",
                                                     Member::Kind::symlink}))
                                 << "link member";
        QTest::newRow("hard link")
            << englishWith(add({"./copy.yaml", "./model_config.yaml", Member::Kind::hardlink}))
            << "link member";
        QTest::newRow("absurd declared size") << absurd << "declares 1099511627776 bytes";
        QTest::newRow("duplicate config")
            << englishWith(add({"./model_config.yaml", "x: 1"})) << "model_config.yaml twice";
        QTest::newRow("shape disagrees with config")
            << englishWith(replaceInConfig("conv_kernel_size: 9", "conv_kernel_size: 7"))
            << "tensor encoder.layers.0.conv.depthwise_conv.weight has shape [96, 1, 9], its "
               "config implies [96, 1, 7]";
        QTest::newRow("missing config key") << englishWith(replaceInConfig("  n_heads: 4\n", ""))
                                            << "the key encoder.n_heads is missing";
        QTest::newRow("vocabulary disagrees with tokenizer") << englishWith([](Members& m) {
            replaceInConfig("vocab_size: 120", "vocab_size: 121")(m);
            replaceInConfig("num_classes: 120", "num_classes: 121")(m);
        }) << "tokenizer has 120 pieces";
        QTest::newRow("tokenizer cut short") << englishWith([](Members& m) {
            std::string& model = member(m, "_tokenizer.model").content;
            model.resize(model.size() / 2);
        }) << "not a valid SentencePiece model";
        QTest::newRow("big-endian weights")
            << englishWith(torch2Weights("big")) << "byte order \"big\"";
        // The window's storage reference ends "BININT2 400, TUPLE"; its size is "BININT2 400,
        // TUPLE1".
        QTest::newRow("storage smaller than declared")
            << englishWith(patchWeightsIndex({"M\x90\x01t", 4}, {"M\x91\x01t", 4}))
            << "holds 1600 bytes, not the declared 1604";
        QTest::newRow("view outside its storage")
            << englishWith(patchWeightsIndex({"K\x00M\x90\x01\x85", 6}, {"K\x01M\x90\x01\x85", 6}))
            << "tensor preprocessor.featurizer.window a view outside its storage";
        QTest::newRow("half-precision weights")
            << englishWith(patchWeightsIndex("FloatStorage", "HalfStorage")) << "torch.HalfStorage";
        QTest::newRow("damaged weights") << englishWith([](Members& m) {
            member(m, "model_weights.ckpt").content.resize(100000);
        }) << "The checkpoint's weights";
    }
    void refusesBadCheckpoints() {
        QFETCH(std::string, archive);
        QFETCH(QString, failure);
        QString description;
        try {
            NemoCheckpointReader::read(write(archive), scratch);
        } catch (const ModelImportError& error) {
            description = error.what();
        }
        QVERIFY2(description.contains(failure), qPrintable(description));
        QVERIFY(!description.contains('\n'));
        QVERIFY(scratchIsEmpty());
    }
};

QTEST_GUILESS_MAIN(NemoCheckpointReaderTest)
#include "NemoCheckpointReaderTest.moc"
