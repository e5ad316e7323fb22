// relayo-import: builds the speech engine's model folder from a local NeMo checkpoint and
// prints the folder as its last line. Ctrl-C stops the import and leaves nothing behind.

#include "cli/ImportCommandLine.h"
#include "speech-engine/hub/NemotronModelDownloader.h"
#include "speech-engine/import/ModelImporter.h"

#include <QCoreApplication>

#include <csignal>
#include <cstdio>

namespace {

// Set by the signal handler, which may touch nothing else.
volatile std::sig_atomic_t interrupted = 0;

void interrupt(int) {
    interrupted = 1;
}

void showProgress(const ImportProgress& progress) {
    std::fprintf(stderr, "[%3d%%] %s\n", int(progress.fraction * 100 + 0.5),
                 progress.stage.c_str());
}

int fail(const std::string& reason, int status) {
    std::fprintf(stderr, "relayo models import: %s\n", reason.c_str());
    return status;
}

} // namespace

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    ImportCommandLine command;
    try {
        command =
            ImportCommandLine::parse(app.arguments(), NemotronModelDownloader::defaultModelsRoot());
    } catch (const std::invalid_argument& error) {
        return fail(error.what(), 2);
    }
    std::signal(SIGINT, interrupt);
    std::signal(SIGTERM, interrupt);
    try {
        ModelImporter::importCheckpoint(command.checkpoint, command.folder, command.options,
                                        showProgress, [] { return interrupted != 0; });
    } catch (const std::exception& error) {
        return fail(error.what(), 1);
    }
    std::printf("%s\n", command.folder.c_str());
    return 0;
}
