#pragma once

#include "speech-engine/import/vocabulary/Int8Agreement.h"

#include <QJsonObject>

#include <optional>

// An int8 folder's agreement as "metadata.json" holds it under "int8_agreement": the signal,
// the bound, the whole encoder's measure and each layer's, or why nothing was measured.
namespace Int8AgreementJson {
inline constexpr const char* key = "int8_agreement";

QJsonObject toJson(const Int8Agreement& agreement);

// Nothing for metadata without the key (float32 folders, folders imported before the check) or
// with one this program did not write.
std::optional<Int8Agreement> fromMetadata(const QJsonObject& metadata);
} // namespace Int8AgreementJson
