#include "speech-engine/runtime/ModelRunner.h"

#include "speech-engine/runtime/Int8LinearOperator.h"

#include <ATen/Parallel.h>
#include <torch/script.h>

#include <dlfcn.h>
#include <malloc.h>

#include <algorithm>
#include <optional>

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

// Threads, as measured with bench-encoder-threads (real-size int8 encoder, 560 ms chunk, two
// cores shared with other work). Debian's libtorch runs its own kernels (and the int8 products)
// on an OpenMP team whose idle threads spin for some milliseconds before sleeping, and libgomp
// reads OMP_WAIT_POLICY only when the process starts. Whenever anything else wants the cores,
// spinning and descheduled team members wait on each other at each of a step's hundreds of
// parallel regions: two threads once took 0.7-2.9 s per step where one took 0.19 s. Even alone
// two threads gain nothing (61 against 58 ms a step): a step's products have a few rows and are
// bound by reading the weights. So a model runs on the calling thread alone unless told otherwise,
// which leaves the other core to a second recognizer and the rest of the program. OpenBLAS, which
// would start a spinning team of its own for float products, is held to one thread as well.
void useThreads(int threads) {
    using SetThreads = void (*)(int);
    if (auto setBlasThreads =
            reinterpret_cast<SetThreads>(dlsym(RTLD_DEFAULT, "openblas_set_num_threads")))
        setBlasThreads(1);
    at::set_num_threads(threads);
}

// oneDNN packs each int8 weight of an older folder into its own layout when the model loads and
// keeps the original beside it only to unpack or save the model, which the program never does.
// Releasing the originals halves an int8 model's weights, which is what lets both models fit a
// laptop.
void releaseOriginalsOfPacked(const c10::IValue& value, const c10::OperatorHandle& unpack) {
    if (value.isList()) {
        for (const auto& element : value.toListRef())
            releaseOriginalsOfPacked(element, unpack);
        return;
    }
    if (!value.isCustomClass() ||
        value.type()->str() != "__torch__.torch.classes.quantized.LinearPackedParamsBase")
        return;
    torch::jit::Stack stack{value};
    unpack.callBoxed(&stack);
    const auto storage = stack.front().toTensor().storage();
    storage.set_data_ptr_noswap(at::DataPtr(nullptr, storage.device()));
    storage.set_nbytes(0);
}

void releaseOriginalsOfPacked(const torch::jit::Module& module) {
    if (at::globalContext().qEngine() != at::QEngine::ONEDNN)
        return;
    const auto unpack =
        c10::Dispatcher::singleton().findSchemaOrThrow("quantized::linear_unpack", "");
    for (const auto& attribute : module.attributes())
        releaseOriginalsOfPacked(attribute, unpack);
    // The loader's buffers raised malloc's mmap threshold, so the originals lie inside the heap,
    // whose free pages go back to the system only when asked.
    malloc_trim(0);
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

void ModelRunner::registerOperators() {
    Int8LinearOperator::registerOnce();
}

ModelRunner::ModelRunner(std::unique_ptr<Module> module) : m_module(std::move(module)) {}

ModelRunner::~ModelRunner() = default;

std::unique_ptr<ModelRunner> ModelRunner::load(const std::string& path,
                                               const ModelConfiguration& configuration) {
    useThreads(std::max(1, configuration.threadCount));
    selectQuantizedEngine();
    registerOperators();
    try {
        auto module = std::make_unique<Module>(Module{torch::jit::load(path, torch::kCPU)});
        module->module.eval();
        releaseOriginalsOfPacked(module->module);
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
