#include "speech-engine/import/ModelImporter.h"

#include "speech-engine/import/FileSha256.h"
#include "speech-engine/import/ImportPlan.h"
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

void makeFolder(const fs::path& folder) {
    std::error_code error;
    if (!fs::create_directory(folder, error) && error)
        throw ModelImportError("Cannot create " + folder.string() + ": " + error.message());
}

// The reader extracts the weights into a scratch folder inside the partial folder, which goes
// away with it on failure.
NemoCheckpoint readCheckpoint(const fs::path& checkpoint, const fs::path& folder) {
    const auto scratch = folder / "scratch";
    auto read = NemoCheckpointReader::read(checkpoint, scratch);
    std::error_code error;
    if (fs::remove_all(scratch, error) == static_cast<std::uintmax_t>(-1))
        throw ModelImportError("Cannot remove " + scratch.string() + ": " + error.message());
    return read;
}

} // namespace

void ModelImporter::importCheckpoint(const fs::path& checkpoint, const fs::path& folder,
                                     const ImportOptions& options, const ProgressHandler& progress,
                                     const CancelCheck& cancelled) {
    ImportSteps steps(progress, cancelled);
    PartialFolder partial(folder);
    const auto& files = partial.path();

    steps.begin("Reading the checkpoint", 0.5);
    const auto model = readCheckpoint(checkpoint, files);
    const auto plan = ImportPlan::choose(model.config, options);

    steps.begin("Hashing the checkpoint", 0.6);
    const auto sha256 = fileSha256(checkpoint, [&] { return steps.cancelled(); });
    if (!sha256)
        ImportSteps::stop();
    // The download checked the bytes as they arrived; this is the file that was read.
    if (!options.source.sha256.empty() && *sha256 != options.source.sha256)
        throw ModelImportError("The checkpoint " + checkpoint.string() +
                               " is not the file the hub lists: its SHA-256 differs");

    steps.begin("Building the encoder", 0.97);
    makeFolder(files / "encoder");
    EncoderModuleBuilder::save(model, plan.attContext, options.precision, plan.promptIndex,
                               files / "encoder" / "encoder_int8.pt");

    steps.begin("Building the preprocessor, decoder and joint", 0.98);
    ScriptModuleBuilder::savePreprocessor(model, files / "preprocessor.pt");
    ScriptModuleBuilder::saveDecoder(model, files / "decoder.pt");
    ScriptModuleBuilder::saveJoint(model, files / "joint.pt");

    steps.begin("Writing the model description", 0.99);
    ModelFolderJson::writeTokenizer(model.pieces, files / "tokenizer.json");
    ModelFolderJson::writeMetadata(model.config, plan, options, checkpoint.filename().string(),
                                   *sha256, files / "metadata.json");
    steps.begin("Writing the model to the disk", 1.0);
    if (!ModelFolderJson::writeManifest(files, [&] { return steps.cancelled(); }))
        ImportSteps::stop();
    partial.commit();
    steps.finish();
}
