#pragma once

#include "speech-engine/runtime/MultiArray.h"

#include <map>
#include <memory>
#include <stdexcept>
#include <string>

// How models run: always on the CPU, with `threadCount` threads for one prediction
// (0: one, see ModelRunner.cpp).
struct ModelConfiguration {
    int threadCount = 0;
};

// Named model inputs or outputs.
using ModelFeatures = std::map<std::string, MultiArray>;

// A model file that cannot be loaded, or a prediction that the model rejects.
class ModelRunnerError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// One TorchScript model whose methods (`forward` and any other a model folder names) take the
// named input features as keyword arguments and return a dictionary of named output tensors.
// The only door to libtorch.
class ModelRunner {
public:
    static std::unique_ptr<ModelRunner> load(const std::string& path,
                                             const ModelConfiguration& configuration);
    ~ModelRunner();

    // Int8 layers packed by libtorch (model folders imported before the encoder's own int8
    // operator) run on oneDNN where the build offers it, else on QNNPACK. Loading selects it;
    // so must whoever packs such weights, since packed weights belong to one engine.
    static void selectQuantizedEngine();

    // Operators of our own that model scripts call. Loading registers them; so must whoever
    // compiles such a script.
    static void registerOperators();

    bool hasMethod(const std::string& method) const;

    // Outputs that are not tensors of a multi-array element type are left out, so a caller sees
    // a wrongly typed feature as a missing one. Inputs are read in place, never copied. Every
    // failure inside the model, whatever libtorch throws for it, is a ModelRunnerError.
    ModelFeatures predict(const ModelFeatures& inputs, const std::string& method = "forward") const;

private:
    struct Module;
    explicit ModelRunner(std::unique_ptr<Module> module);

    std::unique_ptr<Module> m_module;
};
