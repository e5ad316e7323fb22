#include "speech-engine/hub/HubModel.h"

#include "speech-engine/core/EnvironmentOr.h"

namespace {

// The shortest chunk the checkpoint lists that keeps up on two cores (RTF at most 0.6 in
// bench-recognizer-chunks, int8, beside the captions). An encoder step reads all the weights
// whatever the chunk's length, so short chunks cost nearly what long ones do: a 160 ms step
// takes 42 ms (RTF 0.26, p95 0.58 at ten symbols), an 80 ms step 40 ms (RTF 0.50, p95 0.94).
constexpr int koreanChunkMs = 160;

} // namespace

HubModel HubModel::english(Repo repo) {
    return {Repo::remotePath(), Repo::revision(), repo.folderName(), repo.chunkMs(), std::nullopt};
}

HubModel HubModel::korean() {
    return {environmentOr("RLY_KO_MODEL_REPO",
                          QStringLiteral("nvidia/nemotron-3.5-asr-streaming-0.6b")),
            environmentOr("RLY_KO_MODEL_REVISION", QStringLiteral("main")),
            QStringLiteral("korean-streaming"), koreanChunkMs, QStringLiteral("ko-KR")};
}
