#include "speech-engine/import/ModelImporter.h"

#include "speech-engine/import/FileSha256.h"
#include "speech-engine/import/ImportPlan.h"
#include "speech-engine/import/Int8AgreementCheck.h"
#include "speech-engine/import/ModelFolderJson.h"
#include "speech-engine/import/PartialFolder.h"
#include "speech-engine/import/checkpoint/NemoCheckpointReader.h"
#include "speech-engine/import/modules/EncoderModuleBuilder.h"
#include "speech-engine/import/modules/ScriptModuleBuilder.h"

namespace fs = std::filesystem;

namespace {

// Reports the stages of one import and stops it when the caller cancels.
class ImportSteps {
public:
    ImportSteps(const ModelImporter::ProgressHandler& progress,
                const ModelImporter::CancelCheck& cancelled)
        : m_progress(progress), m_cancelled(cancelled) {}

    bool cancelled() const { return m_cancelled && m_cancelled(); }
    [[noreturn]] static void stop() { throw ModelImportError("Import cancelled"); }

    // Starts a stage that ends at `fraction` of the whole import (shares measured on a
    // checkpoint of the published size).
    void begin(const std::string& stage, double fraction) {
        if (cancelled())
            stop();
        if (m_progress)
            m_progress({stage, m_reached});
        m_reached = fraction;
    }

    void finish() {
        if (m_progress)
            m_progress({"Done", 1.0});
    }

private:
    const ModelImporter::ProgressHandler& m_progress;
    const ModelImporter::CancelCheck& m_cancelled;
    double m_reached = 0;
};

// Where each stage ends, as shares of the whole import measured on a checkpoint of the published
// size: checking int8 against float32 takes about 40 % of an int8 import.
struct StageEnds {
    double read, hash, encoder, modules, check, description;
};
constexpr StageEnds fp32Ends{0.5, 0.6, 0.97, 0.98, 0.98, 0.99};
constexpr StageEnds int8Ends{0.21, 0.25, 0.55, 0.56, 0.97, 0.98};

void makeFolder(const fs::path& folder) {
    std::error_code error;
    if (!fs::create_directory(folder, error) && error)
        throw ModelImportError("Cannot create " + folder.string() + ": " + error.message());
}

void removeFolder(const fs::path& folder) {
    std::error_code error;
    if (fs::remove_all(folder, error) == static_cast<std::uintmax_t>(-1))
        throw ModelImportError("Cannot remove " + folder.string() + ": " + error.message());
}

// Scratch space inside the partial folder goes away with it on failure.
fs::path scratchOf(const fs::path& folder) {
    return folder / "scratch";
}

// The reader extracts the weights into scratch space.
NemoCheckpoint readCheckpoint(const fs::path& checkpoint, const fs::path& folder) {
    auto read = NemoCheckpointReader::read(checkpoint, scratchOf(folder));
    removeFolder(scratchOf(folder));
    return read;
}

// The folder's encoder and, for int8, the float32 one it is checked against, in scratch space:
// only the checkpoint gives both.
void buildEncoders(const NemoCheckpoint& model, const ImportPlan& plan, ModelPrecision precision,
                   const Int8AgreementCheck::Models& check) {
    makeFolder(check.int8Encoder.parent_path());
    EncoderModuleBuilder::save(model, plan.attContext, precision, plan.promptIndex,
                               check.int8Encoder);
    if (precision == ModelPrecision::int8) {
        makeFolder(check.fp32Encoder.parent_path());
        EncoderModuleBuilder::save(model, plan.attContext, ModelPrecision::fp32, plan.promptIndex,
                                   check.fp32Encoder);
    }
}

} // namespace

void ModelImporter::importCheckpoint(const fs::path& checkpoint, const fs::path& folder,
                                     const ImportOptions& options, const ProgressHandler& progress,
                                     const CancelCheck& cancelled) {
    ImportSteps steps(progress, cancelled);
    PartialFolder partial(folder);
    const auto& files = partial.path();
    const auto int8 = options.precision == ModelPrecision::int8;
    const auto& ends = int8 ? int8Ends : fp32Ends;

    steps.begin("Reading the checkpoint", ends.read);
    auto model = readCheckpoint(checkpoint, files);
    const auto plan = ImportPlan::choose(model.config, options);

    steps.begin("Hashing the checkpoint", ends.hash);
    const auto sha256 = fileSha256(checkpoint, [&] { return steps.cancelled(); });
    if (!sha256)
        ImportSteps::stop();
    // The download checked the bytes as they arrived; this is the file that was read.
    if (!options.source.sha256.empty() && *sha256 != options.source.sha256)
        throw ModelImportError("The checkpoint " + checkpoint.string() +
                               " is not the file the hub lists: its SHA-256 differs");

    steps.begin("Building the encoder", ends.encoder);
    const Int8AgreementCheck::Models check{files / "preprocessor.pt",
                                           files / "encoder" / "encoder_int8.pt",
                                           scratchOf(files) / "encoder_fp32.pt"};
    buildEncoders(model, plan, options.precision, check);

    steps.begin("Building the preprocessor, decoder and joint", ends.modules);
    ScriptModuleBuilder::savePreprocessor(model, check.preprocessor);
    ScriptModuleBuilder::saveDecoder(model, files / "decoder.pt");
    ScriptModuleBuilder::saveJoint(model, files / "joint.pt");
    // Both encoders are loaded next: the checkpoint's tensors leave first.
    model.weights.clear();

    std::optional<Int8Agreement> agreement;
    if (int8) {
        steps.begin("Checking int8 against float32", ends.check);
        agreement = Int8AgreementCheck::measure(model.config, plan, check, scratchOf(files),
                                                [&] { return steps.cancelled(); });
        if (!agreement)
            ImportSteps::stop();
        removeFolder(scratchOf(files));
    }

    steps.begin("Writing the model description", ends.description);
    ModelFolderJson::writeTokenizer(model.pieces, files / "tokenizer.json");
    ModelFolderJson::writeMetadata(model.config, plan, options, checkpoint.filename().string(),
                                   *sha256, agreement, files / "metadata.json");
    steps.begin("Writing the model to the disk", 1.0);
    if (!ModelFolderJson::writeManifest(files, [&] { return steps.cancelled(); }))
        ImportSteps::stop();
    partial.commit();
    steps.finish();
}
