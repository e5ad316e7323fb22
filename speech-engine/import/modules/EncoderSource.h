#pragma once

#include "speech-engine/import/vocabulary/ModelImport.h"

#include <string>

// The streaming encoder's TorchScript. Its tensors and sizes are module attributes that
// EncoderModuleBuilder takes from the checkpoint; the parts that differ between checkpoints
// and builds are methods chosen here.
namespace EncoderSource {

enum class ConvNorm { batchNorm, layerNorm };

std::string compose(ModelPrecision precision, ConvNorm convNorm, bool prompted);

} // namespace EncoderSource
