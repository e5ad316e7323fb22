#include "speech-engine/model-files/NemotronChunkSize.h"

#include <algorithm>

std::optional<NemotronChunkSize> NemotronChunkSize::fromRawValue(int milliseconds) {
    for (auto size : allCases())
        if (size.rawValue() == milliseconds)
            return size;
    return std::nullopt;
}

QString NemotronChunkSize::subdirectory() const {
    return QStringLiteral("nemotron_coreml_%1ms").arg(rawValue());
}

Repo NemotronChunkSize::repo() const {
    const auto sizes = allCases();
    const auto position = std::find(sizes.begin(), sizes.end(), *this) - sizes.begin();
    return Repo::allCases()[std::size_t(position)];
}
