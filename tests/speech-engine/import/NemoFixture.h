#pragma once

#include "speech-engine/import/checkpoint/NemoCheckpoint.h"
#include "speech-engine/runtime/MultiArray.h"

#include <QString>

#include <string>
#include <vector>

class ModelRunner;

// Checks of built modules against the NeMo fixtures' reference outputs.
namespace NemoFixture {
// The path of the fixture checkpoint "small-<variant>.nemo".
std::string checkpointPath(const std::string& variant);
NemoCheckpoint checkpoint(const std::string& variant);

// The fixtures' fp32 tolerance: max |got - ref| <= 1e-4 * max(1, max |ref|), elements in
// row-major order. A mismatch is described in the returned text; empty when within it.
QString mismatch(const MultiArray& got, const std::vector<float>& reference);

// Runs every recorded prediction-network and joint step of `variant` through the modules;
// the joint's raw logits are compared after log-softmax, and their arg-max must be equal.
QString stepMismatch(const std::string& variant, const ModelRunner& decoder,
                     const ModelRunner& joint);
} // namespace NemoFixture
