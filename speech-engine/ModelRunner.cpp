#include "speech-engine/ModelRunner.h"

#include <ATen/Parallel.h>
#include <torch/script.h>

#include <dlfcn.h>

#include <algorithm>
#include <optional>
#include <thread>

struct ModelRunner::Module {
    mutable torch::jit::Module module;
};

namespace {

// The tensor element types that have a multi-array counterpart.
constexpr std::pair<MultiArrayDataType, c10::ScalarType> elementTypes[] = {
    {MultiArrayDataType::float32, torch::kFloat32},
    {MultiArrayDataType::float64, torch::kFloat64},
    {MultiArrayDataType::int32, torch::kInt32},
    {MultiArrayDataType::int64, torch::kInt64}};

c10::ScalarType scalarTypeOf(MultiArrayDataType type) {
    return std::find_if(std::begin(elementTypes), std::end(elementTypes),
                        [type](const auto& pair) { return pair.first == type; })
        ->second;
}

std::optional<MultiArrayDataType> dataTypeOf(c10::ScalarType type) {
    for (const auto& [dataType, scalarType] : elementTypes) {
        if (scalarType == type) {
            return dataType;
        }
    }
    return std::nullopt;
}

// The tensor reads the array's elements where they lie and keeps their owner alive while the
// model holds it.
torch::Tensor tensorOf(const MultiArray& array) {
    auto owner = array.owner();
    return torch::from_blob(
        array.rawData(), array.shape(), array.strides(), [owner](void*) {},
        torch::TensorOptions().dtype(scalarTypeOf(array.dataType())));
}

std::optional<MultiArray> multiArrayOf(const torch::Tensor& tensor) {
    const auto type = dataTypeOf(tensor.scalar_type());
    if (!type || tensor.layout() != torch::kStrided) {
        return std::nullopt;
    }
    auto holder = std::make_shared<torch::Tensor>(tensor);
    return MultiArray::view(holder->data_ptr(), tensor.sizes().vec(), tensor.strides().vec(), *type,
                            holder);
}

// An output that is one of the inputs is copied: otherwise each call's output would keep the
// previous call's input alive through its owner, chaining every chunk's state to the last.
ModelFeatures featuresOf(const c10::IValue& result, const std::vector<torch::Tensor>& inputs) {
    if (!result.isGenericDict()) {
        throw ModelRunnerError("Model output is not a dictionary of named tensors");
    }
    ModelFeatures features;
    for (const auto& entry : result.toGenericDict()) {
        if (!entry.key().isString() || !entry.value().isTensor()) {
            continue;
        }
        auto tensor = entry.value().toTensor();
        if (std::any_of(inputs.begin(), inputs.end(),
                        [&](const torch::Tensor& input) { return tensor.is_alias_of(input); })) {
            tensor = tensor.clone();
        }
        if (auto array = multiArrayOf(tensor)) {
            features.emplace(entry.key().toStringRef(), std::move(*array));
        }
    }
    return features;
}

// The message of a TorchScript failure without the script traceback in front of it.
std::string lastLine(std::string message) {
    while (!message.empty() && message.back() == '\n') {
        message.pop_back();
    }
    return message.substr(message.find_last_of('\n') + 1);
}

// Threads, as measured with bench-encoder-threads (real-size int8 encoder, two cores). Debian's
// libtorch runs its own kernels (oneDNN's int8 products among them) on an OpenMP team and float
// matrix products on OpenBLAS's threads; both spin for a while when they run out of work, so
// with OpenBLAS at one thread per core the two teams took the cores from each other: the
// 560 ms step took 851 ms instead of 231 ms. So OpenBLAS runs on the calling thread alone and
// OpenMP gets `threads`. A passive OpenMP wait policy helped as much, but libgomp reads it
// only when the process starts. The OpenMP team belongs to the thread that runs the models
// (the recognizer's executor), not to the process; inter-op threads are never started, since
// the models fork no work.
void useThreads(int threads) {
    using SetThreads = void (*)(int);
    if (auto setBlasThreads =
            reinterpret_cast<SetThreads>(dlsym(RTLD_DEFAULT, "openblas_set_num_threads")))
        setBlasThreads(1);
    at::set_num_threads(threads);
}

} // namespace

void ModelRunner::selectQuantizedEngine() {
    const auto& supported = at::globalContext().supportedQEngines();
    for (const auto engine : {at::QEngine::ONEDNN, at::QEngine::QNNPACK}) {
        if (std::find(supported.begin(), supported.end(), engine) != supported.end()) {
            at::globalContext().setQEngine(engine);
            return;
        }
    }
}

ModelRunner::ModelRunner(std::unique_ptr<Module> module) : m_module(std::move(module)) {}

ModelRunner::~ModelRunner() = default;

std::unique_ptr<ModelRunner> ModelRunner::load(const std::string& path,
                                               const ModelConfiguration& configuration) {
    const int threads = configuration.threadCount > 0
                            ? configuration.threadCount
                            : std::max(1, static_cast<int>(std::thread::hardware_concurrency()));
    useThreads(threads);
    selectQuantizedEngine();
    try {
        auto module = std::make_unique<Module>(Module{torch::jit::load(path, torch::kCPU)});
        module->module.eval();
        return std::unique_ptr<ModelRunner>(new ModelRunner(std::move(module)));
    } catch (const c10::Error& error) {
        throw ModelRunnerError("Could not load the model " + path + ": " +
                               lastLine(error.what_without_backtrace()));
    }
}

bool ModelRunner::hasMethod(const std::string& method) const {
    return m_module->module.find_method(method).has_value();
}

ModelFeatures ModelRunner::predict(const ModelFeatures& inputs, const std::string& method) const {
    c10::InferenceMode inferenceMode;
    std::unordered_map<std::string, c10::IValue> arguments;
    std::vector<torch::Tensor> tensors;
    for (const auto& [name, array] : inputs) {
        tensors.push_back(tensorOf(array));
        arguments.emplace(name, tensors.back());
    }
    try {
        return featuresOf(m_module->module.get_method(method)({}, arguments), tensors);
    } catch (const c10::Error& error) {
        throw ModelRunnerError("Model prediction failed: " +
                               lastLine(error.what_without_backtrace()));
    } catch (const ModelRunnerError&) {
        throw;
    } catch (const std::exception& error) {
        // A script's own `raise` arrives as a plain runtime error, not as c10::Error.
        throw ModelRunnerError("Model prediction failed: " + lastLine(error.what()));
    }
}
