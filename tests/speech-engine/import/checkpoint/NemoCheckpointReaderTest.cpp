// Reading NeMo checkpoints: weight layouts other writers make, the models the engine cannot run,
// and damaged or hostile archives, all crafted from the shared fixtures.
#include "speech-engine/import/checkpoint/NemoCheckpointReader.h"
#include "speech-engine/import/checkpoint/TorchWeights.h"
#include "speech-engine/import/vocabulary/ModelImport.h"

#include <QTemporaryDir>
#include <QTest>

#include <archive.h>
#include <archive_entry.h>

#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <numeric>

namespace fs = std::filesystem;

namespace {

const fs::path fixtures = fs::path(RELAYO_SOURCE_DIR) / "../shared/fixtures/nemo";

struct Member {
    enum Link { none, symbolic, hard };
    std::string name;
    std::string content; // the target of a link
    Link link = none;
};
using Members = std::vector<Member>;
using Edit = std::function<void(Members&)>;
using Edits = std::vector<std::pair<std::string, std::string>>;

std::string readFile(const fs::path& path) {
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

void check(int status, archive* a) {
    if (status < ARCHIVE_WARN)
        throw std::runtime_error(archive_error_string(a) ? archive_error_string(a) : "archive");
}

// Every member of a tar or zip archive, in order, names as stored.
Members readMembers(const std::string& bytes) {
    const std::unique_ptr<archive, decltype(&archive_read_free)> reader(archive_read_new(),
                                                                        archive_read_free);
    archive* a = reader.get();
    archive_read_support_format_tar(a);
    archive_read_support_format_zip_seekable(a);
    check(archive_read_open_memory(a, bytes.data(), bytes.size()), a);
    Members members;
    archive_entry* entry = nullptr;
    while (archive_read_next_header(a, &entry) == ARCHIVE_OK) {
        if (archive_entry_filetype(entry) == AE_IFDIR)
            continue;
        Member member{archive_entry_pathname(entry), {}};
        member.content.resize(std::size_t(archive_entry_size(entry)));
        if (archive_read_data(a, member.content.data(), member.content.size()) !=
            la_ssize_t(member.content.size()))
            throw std::runtime_error("unreadable member " + member.name);
        members.push_back(std::move(member));
    }
    return members;
}

// A ustar archive or, with `zip`, a zip archive of stored members.
std::string archiveOf(const Members& members, bool zip = false) {
    std::size_t room = std::size_t{1} << 20;
    for (const auto& member : members)
        room += member.content.size() + 1024;
    std::string output(room, '\0');
    std::size_t used = 0;
    const std::unique_ptr<archive, decltype(&archive_write_free)> writer(archive_write_new(),
                                                                         archive_write_free);
    archive* a = writer.get();
    check(zip ? archive_write_set_format_zip(a) : archive_write_set_format_ustar(a), a);
    if (zip)
        check(archive_write_set_options(a, "zip:compression=store"), a);
    check(archive_write_set_bytes_in_last_block(a, 1), a);
    check(archive_write_open_memory(a, output.data(), output.size(), &used), a);
    for (const auto& member : members) {
        const std::unique_ptr<archive_entry, decltype(&archive_entry_free)> entry(
            archive_entry_new(), archive_entry_free);
        archive_entry_copy_pathname(entry.get(), member.name.c_str());
        archive_entry_set_perm(entry.get(), 0644);
        archive_entry_set_filetype(entry.get(),
                                   member.link == Member::symbolic ? AE_IFLNK : AE_IFREG);
        if (member.link == Member::symbolic)
            archive_entry_copy_symlink(entry.get(), member.content.c_str());
        else if (member.link == Member::hard)
            archive_entry_copy_hardlink(entry.get(), member.content.c_str());
        else
            archive_entry_set_size(entry.get(), la_int64_t(member.content.size()));
        check(archive_write_header(a, entry.get()), a);
        if (member.link == Member::none && !member.content.empty())
            archive_write_data(a, member.content.data(), member.content.size());
    }
    check(archive_write_close(a), a);
    output.resize(used);
    return output;
}

// Rewrites the declared size (below 8 GiB) of the tar member `name`.
void setDeclaredSize(std::string& tar, const std::string& name, std::uint64_t size) {
    std::size_t header = 0;
    while (tar.compare(header, name.size() + 1, name.c_str(), name.size() + 1) != 0)
        header += 512; // throws std::out_of_range past the end
    std::snprintf(tar.data() + header + 124, 12, "%011llo", static_cast<unsigned long long>(size));
    std::memset(tar.data() + header + 148, ' ', 8);
    const auto sum = std::accumulate(
        tar.begin() + std::ptrdiff_t(header), tar.begin() + std::ptrdiff_t(header + 512), 0u,
        [](unsigned total, char c) { return total + std::uint8_t(c); });
    std::snprintf(tar.data() + header + 148, 8, "%06o", sum);
}

Member& member(Members& members, const std::string& suffix) {
    const auto found =
        std::ranges::find_if(members, [&](const Member& m) { return m.name.ends_with(suffix); });
    if (found == members.end())
        throw std::runtime_error("no member " + suffix);
    return *found;
}

void replace(std::string& text, const std::string& from, const std::string& to) {
    const auto at = text.find(from);
    if (at == std::string::npos)
        throw std::runtime_error("no " + from);
    text.replace(at, from.size(), to);
}

Members fixtureMembers(const std::string& model) {
    return readMembers(readFile(fixtures / ("small-" + model + ".nemo")));
}
// Replaces each edit's first occurrence in the config.
Edit editConfig(const Edits& edits) {
    return [=](Members& members) {
        for (const auto& [from, to] : edits)
            replace(member(members, "model_config.yaml").content, from, to);
    };
}

Edit add(Member extra, bool first = false) {
    return
        [=](Members& members) { members.insert(first ? members.begin() : members.end(), extra); };
}

// Edits the members of the weights file, a zip archive inside the checkpoint.
Edit editWeights(const Edit& edit) {
    return [=](Members& members) {
        std::string& weights = member(members, "model_weights.ckpt").content;
        Members entries = readMembers(weights);
        edit(entries);
        weights = archiveOf(entries, true);
    };
}

// The weights file as PyTorch 2.x lays it out: another top folder, a byte-order entry and the
// newer bookkeeping entries.
Edit torch2Weights(const std::string& byteOrder) {
    return editWeights([=](Members& entries) {
        for (Member& entry : entries)
            entry.name.replace(0, std::strlen("model_weights/"), "archive/");
        entries.insert(entries.end(), {{"archive/byteorder", byteOrder},
                                       {"archive/.format_version", "1"},
                                       {"archive/.storage_alignment", "64"},
                                       {"archive/.data/serialization_id", "0123456789"},
                                       {"archive/.data/version", "3\n"}});
    });
}

// Replaces bytes in the weights' pickled index.
Edit patchWeightsIndex(const std::string& from, const std::string& to) {
    return editWeights(
        [=](Members& entries) { replace(member(entries, "data.pkl").content, from, to); });
}

Edit replaceWeightsIndex(const std::string& pickle) {
    return editWeights([=](Members& entries) { member(entries, "data.pkl").content = pickle; });
}

// A view of a tensor into its storage, in elements.
struct View {
    std::int64_t offset;
    std::vector<std::int64_t> shape;
    std::vector<std::int64_t> strides;
};

// The pickled state dictionary torch.save writes, of float32 tensors "t0", "t1", ... that all
// view the one storage "0" of `storageElements`; its integers are 8-byte ones.
std::string stateDictPickle(std::int64_t storageElements, const std::vector<View>& views) {
    const auto text = [](const std::string& value) {
        const auto size = std::uint32_t(value.size());
        std::string result("X");
        result.append(reinterpret_cast<const char*>(&size), 4);
        return result + value;
    };
    const auto integer = [](std::int64_t value) {
        return std::string("\x8a\x08", 2) + std::string(reinterpret_cast<const char*>(&value), 8);
    };
    const auto tuple = [&](const std::vector<std::int64_t>& values) {
        std::string result = "(";
        for (const auto value : values)
            result += integer(value);
        return result + "t";
    };
    const std::string orderedDict = "ccollections\nOrderedDict\n)R";
    std::string pickle = "\x80\x02" + orderedDict + "(";
    for (std::size_t i = 0; i < views.size(); ++i) {
        pickle += text(std::string("t").append(std::to_string(i)));
        pickle += "ctorch._utils\n_rebuild_tensor_v2\n(";
        if (i == 0) // the storage, remembered for the next tensors
            pickle += std::string("(").append(text("storage")) + "ctorch\nFloatStorage\n" +
                      text("0") + text("cpu") + integer(storageElements) + "tQq\x01";
        else
            pickle += "h\x01";
        pickle += integer(views[i].offset) + tuple(views[i].shape) + tuple(views[i].strides) +
                  "\x89" + orderedDict + "tR";
    }
    return pickle + "u.";
}

// A weights file of that state dictionary over the storage `values`.
std::string weightsOf(const std::vector<float>& values, const std::vector<View>& views) {
    return archiveOf({{"archive/data.pkl", stateDictPickle(std::int64_t(values.size()), views)},
                      {"archive/data/0", std::string(reinterpret_cast<const char*>(values.data()),
                                                     values.size() * sizeof(float))}},
                     true);
}

std::map<std::string, CheckpointTensor> readWeights(const std::string& zip) {
    return TorchWeights::read(std::as_bytes(std::span(zip.data(), zip.size())));
}

} // namespace

Q_DECLARE_METATYPE(View)

class NemoCheckpointReaderTest : public QObject {
    Q_OBJECT

    QTemporaryDir folder;
    const fs::path scratch = fs::path(folder.path().toStdString()) / "scratch";

    fs::path write(const std::string& bytes) {
        const fs::path path = fs::path(folder.path().toStdString()) / "checkpoint.nemo";
        std::ofstream(path, std::ios::binary).write(bytes.data(), std::streamsize(bytes.size()));
        return path;
    }

    std::string fixtureWith(const Edit& edit, const std::string& model = "en") {
        Members members = fixtureMembers(model);
        edit(members);
        return archiveOf(members);
    }

    bool scratchIsEmpty() const { return !fs::exists(scratch) || fs::is_empty(scratch); }

private slots:
    // PyTorch 2.x's layout reads exactly as the fixture's; pre_encode.out.weight [96, 816] saved
    // as the transpose of its storage, strides (1, 96), reads in row-major order.
    void readsOtherWeightLayouts() {
        const auto plain = NemoCheckpointReader::read(fixtures / "small-en.nemo", scratch);
        const auto other =
            NemoCheckpointReader::read(write(fixtureWith(torch2Weights("little\n"))), scratch);
        QCOMPARE(other.weights.size(), plain.weights.size());
        for (const auto& [name, tensor] : plain.weights) {
            const auto& read = other.weights.at(name);
            const auto count = std::accumulate(tensor.shape.begin(), tensor.shape.end(),
                                               std::int64_t{1}, std::multiplies<>());
            QVERIFY2(read.shape == tensor.shape &&
                         std::equal(tensor.floats(), tensor.floats() + count, read.floats()),
                     name.c_str());
        }
        QVERIFY(scratchIsEmpty());
    }

    // Row-major views at any offset of a storage that tensors share, read through a memo.
    void readsViewsOfASharedStorage() {
        const auto tensors =
            readWeights(weightsOf({0, 1, 2, 3, 4, 5, 6, 7},
                                  {{0, {2, 3}, {3, 1}}, {6, {2, 1}, {1, 7}}, {8, {0, 4}, {0, 0}}}));
        QCOMPARE(tensors.size(), 3u);
        QVERIFY(tensors.at("t0").storage == tensors.at("t1").storage);
        QCOMPARE(std::vector<float>(tensors.at("t1").floats(), tensors.at("t1").floats() + 2),
                 (std::vector<float>{6, 7}));
        QCOMPARE(tensors.at("t1").strides, (std::vector<std::int64_t>{1, 1}));
    }

    // Views that reach past their storage or repeat its elements are refused before anything is
    // allocated for them: the sizes of a file of a few hundred bytes could claim any amount.
    void refusesHostileViews_data() {
        QTest::addColumn<View>("view");
        QTest::addColumn<QString>("failure");
        constexpr std::int64_t huge = std::int64_t{1} << 31;
        QTest::newRow("stride 0") << View{0, {1000}, {0}} << "layout other than row-major";
        QTest::newRow("stride 0, wrapping size")
            << View{0, {huge, huge}, {0, 0}} << "layout other than row-major";
        QTest::newRow("transposed") << View{0, {2, 2}, {1, 2}} << "layout other than row-major";
        QTest::newRow("every other element") << View{0, {2}, {2}} << "layout other than row-major";
        QTest::newRow("overflowing strides")
            << View{0, {0, huge * huge, 4}, {1, 4, 1}} << "an absurd size";
        QTest::newRow("overflowing size")
            << View{0, {huge, huge, huge}, {0, 0, 0}} << "absurd size";
        QTest::newRow("past the end") << View{2, {3}, {1}} << "a view outside its storage";
        QTest::newRow("negative offset") << View{-1, {1}, {1}} << "a view outside its storage";
        QTest::newRow("negative size") << View{0, {-1}, {1}} << "a negative size";
    }
    void refusesHostileViews() {
        QFETCH(View, view);
        QFETCH(QString, failure);
        QString description;
        try {
            readWeights(weightsOf({0, 1, 2, 3}, {view}));
        } catch (const ModelImportError& error) {
            description = error.what();
        }
        QVERIFY2(description.contains(failure), qPrintable(description));
    }

    void refusesBadCheckpoints_data() {
        QTest::addColumn<std::string>("archive");
        QTest::addColumn<QString>("failure");
        const auto row = [](const char* name, const std::string& archive, const char* failure) {
            QTest::newRow(name) << archive << QString::fromUtf8(failure);
        };
        const auto config = [&](const char* name, const Edits& edits, const char* failure,
                                const std::string& model = "en") {
            row(name, fixtureWith(editConfig(edits), model), failure);
        };
        const std::string english = readFile(fixtures / "small-en.nemo");
        std::string absurd = fixtureWith([](Members&) {});
        setDeclaredSize(absurd, "./model_config.yaml", std::uint64_t{1} << 30);

        row("truncated", english.substr(0, english.size() * 3 / 5), "truncated");
        row("missing weights", fixtureWith([](Members& m) { m.pop_back(); }), // the last member
            "has no model_weights.ckpt");
        row("name with ..", fixtureWith(add({"./../escape.txt", "x"})), "\"..\"");
        row("absolute path", fixtureWith(add({"/tmp/escape.txt", "x"})), "absolute path");
        row("symlink",
            fixtureWith(add({"./model_weights.ckpt.link", "/etc/passwd", Member::symbolic})),
            "link member");
        row("hard link", fixtureWith(add({"./copy.yaml", "./model_config.yaml", Member::hard})),
            "link member");
        row("absurd declared size", absurd, "declares 1073741824 bytes");
        config("shape disagrees with config", {{"conv_kernel_size: 9", "conv_kernel_size: 7"}},
               "shape [96, 1, 9], its config implies [96, 1, 7]");
        config("vocabulary disagrees with tokenizer",
               {{"vocab_size: 120", "vocab_size: 121"}, {"num_classes: 120", "num_classes: 121"}},
               "tokenizer has 120 pieces");
        row("tokenizer cut short", fixtureWith([](Members& m) {
                std::string& model = member(m, "_tokenizer.model").content;
                model.resize(model.size() / 2);
            }),
            "not a valid SentencePiece model");
        row("big-endian weights", fixtureWith(torch2Weights("big")), "byte order \"big\"");
        // The window's storage reference ends "BININT2 400, TUPLE"; its size is "BININT2 400,
        // TUPLE1".
        row("storage smaller than declared",
            fixtureWith(patchWeightsIndex({"M\x90\x01t", 4}, {"M\x91\x01t", 4})),
            "holds 1600 bytes, not the declared 1604");
        row("view outside its storage",
            fixtureWith(patchWeightsIndex({"K\x00M\x90\x01\x85", 6}, {"K\x01M\x90\x01\x85", 6})),
            "a view outside its storage");
        row("half-precision weights", fixtureWith(patchWeightsIndex("FloatStorage", "HalfStorage")),
            "torch.HalfStorage");
        // pre_encode.out.weight [96, 816] saved as the transpose of its storage, strides (1, 96).
        row("transposed weights",
            fixtureWith(patchWeightsIndex({"M\x30\x03K\x01\x86", 6}, "K\x01K\x60\x86")),
            "encoder.pre_encode.out.weight in a layout other than row-major");
        // The window's strides (1) become (0): its 400 elements would all be the first.
        row("repeating view",
            fixtureWith(patchWeightsIndex({"q\tK\x01\x85q\n", 7}, {"q\tK\x00\x85q\n", 7})),
            "layout other than row-major");
        row("index of a million values",
            fixtureWith(
                replaceWeightsIndex("\x80\x02" + std::string(std::size_t{3} << 19, 'N') + ".")),
            "holds more values than a state dictionary needs");
        const std::string tokenizerSized(std::size_t{9} << 20, 't');
        row("tokenizer models before the config", fixtureWith([&](Members& m) {
                add({"./a_tokenizer.model", tokenizerSized}, true)(m);
                add({"./b_tokenizer.model", tokenizerSized}, true)(m);
            }),
            "more tokenizer models than a checkpoint uses");

        config("normalized features", {{"normalize: NA", "normalize: per_feature"}},
               "preprocessor.normalize is \"per_feature\"");
        config("absurd width", {{"  d_model: 96", "  d_model: 1000000"}}, "d_model is 1000000");
        config("absurd attention context", {{"  - - 70\n    - 6", "  - - 99995\n    - 6"}},
               "att_context_size is 99995, outside the sensible range 0..1024");
        config("tokenizer outside the archive", {{"model_path: nemo:", "model_path: /data/"}},
               "tokenizer.model_path");
        config("prompt index outside its prompts", {{"auto: 101", "auto: 128"}},
               "prompt_dictionary is 128, outside the sensible range 0..127", "multi");
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
