#include "speech-engine/HubModel.h"

#include <QtGlobal>

namespace {

// The shortest chunk the checkpoint lists that keeps up on two cores. An encoder step reads
// all the weights whatever the chunk's length, so a 160 ms chunk costs nearly what a 560 ms one
// does and falls behind (int8 step ~180 ms per 160 ms of speech); 560 ms runs at about a third
// of real time.
constexpr int koreanChunkMs = 560;

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

QString HubModel::environmentOr(const char* name, const QString& fallback) {
    const auto value = qEnvironmentVariable(name);
    return value.isEmpty() ? fallback : value;
}
