#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

// A float tensor attribute of a written model, filled with normal noise times `scale`.
struct RandomParameter {
    std::string name;
    std::vector<std::int64_t> shape;
    double scale = 1.0;
};

// A TorchScript model: methods written in TorchScript (among them `forward`) over attributes;
// `torch.<op>` names aten operators, `ops.<namespace>.<op>` the others.
struct ScriptModel {
    ScriptModel(std::string source, std::vector<RandomParameter> parameters = {})
        : source(std::move(source)), parameters(std::move(parameters)) {}

    std::string source;
    std::vector<RandomParameter> parameters;
};

// Saves `model` to `path`. Tests and benchmarks build their models with it, so no model is
// ever downloaded.
void saveScriptModel(const std::string& path, const ScriptModel& model);
