#pragma once

#include "speech-engine/import/checkpoint/NemoCheckpoint.h"

#include <cstdint>
#include <map>
#include <string>
#include <vector>

// The tensors a checkpoint's config implies, by state-dict name, with their shapes.
namespace NemoTensorLayout {
using Shapes = std::map<std::string, std::vector<std::int64_t>>;

// `jointOutput` is the prefix of the joint's output layer ("joint.joint_net.2").
Shapes expected(const NemoModelConfig& config, const std::string& jointOutput);

// The config's tensors out of `weights`, each checked to be float32 with the implied shape;
// other tensors (BatchNorm counters, a CTC head) are dropped. Throws ModelImportError naming the
// tensor and both shapes.
std::map<std::string, CheckpointTensor> select(std::map<std::string, CheckpointTensor> weights,
                                               const NemoModelConfig& config);
} // namespace NemoTensorLayout
