#include "tests/speech-engine/models/ScriptModelWriter.h"

#include "speech-engine/import/modules/OperatorResolver.h"

#include <torch/script.h>

void saveScriptModel(const std::string& path, const ScriptModel& model) {
    torch::jit::Module module("ScriptModel");
    torch::manual_seed(7);
    for (const auto& parameter : model.parameters)
        module.register_parameter(parameter.name, torch::randn(parameter.shape) * parameter.scale,
                                  false);
    module.define(model.source, std::make_shared<OperatorResolver>());
    module.save(path);
}
