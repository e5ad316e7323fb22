#pragma once

#include "speech-engine/import/checkpoint/NemoModelConfig.h"

#include <string_view>

// Reads the hyperparameters of a cache-aware streaming FastConformer transducer from the text of
// a checkpoint's "model_config.yaml". Refuses missing keys, absurd sizes and model choices the
// engine cannot run, naming the key. Throws ModelImportError.
namespace NemoConfigReader {
NemoModelConfig parse(std::string_view yamlText);
}
