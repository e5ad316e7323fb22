#include "bench/speech-engine/import/StateDictPickleWriter.h"

namespace {

void putInteger(std::string& pickle, std::int64_t value) {
    if (value >= 0 && value < 256) {
        pickle += 'K';
        pickle += static_cast<char>(value);
        return;
    }
    pickle += '\x8a'; // LONG1, 8 bytes little-endian
    pickle += '\x08';
    for (int i = 0; i < 8; ++i)
        pickle += static_cast<char>((static_cast<std::uint64_t>(value) >> (8 * i)) & 0xff);
}

void putText(std::string& pickle, const std::string& text) {
    pickle += 'X';
    for (int i = 0; i < 4; ++i)
        pickle += static_cast<char>((text.size() >> (8 * i)) & 0xff);
    pickle += text;
}

void putTuple(std::string& pickle, const std::vector<std::int64_t>& values) {
    pickle += '(';
    for (std::int64_t value : values)
        putInteger(pickle, value);
    pickle += 't';
}

void putTensor(std::string& pickle, const StateDictPickleWriter::Tensor& tensor) {
    std::int64_t elements = 1;
    std::vector<std::int64_t> strides(tensor.shape.size());
    for (std::size_t i = tensor.shape.size(); i > 0; --i) {
        strides[i - 1] = elements;
        elements *= tensor.shape[i - 1];
    }
    putText(pickle, tensor.name);
    pickle += "ctorch._utils\n_rebuild_tensor_v2\n(";
    pickle += '(';
    putText(pickle, "storage");
    pickle += "ctorch\n" + tensor.storageType + "\n";
    putText(pickle, tensor.storageKey);
    putText(pickle, "cpu");
    putInteger(pickle, elements);
    pickle += "tQ"; // the persistent storage reference
    putInteger(pickle, 0);
    putTuple(pickle, tensor.shape);
    putTuple(pickle, strides);
    pickle += '\x89';                          // requires_grad False
    pickle += "ccollections\nOrderedDict\n)R"; // backward hooks
    pickle += "tR";
}

} // namespace

std::string StateDictPickleWriter::write(const std::vector<Tensor>& tensors) {
    std::string pickle = "\x80\x02"
                         "ccollections\nOrderedDict\n)R(";
    for (const Tensor& tensor : tensors)
        putTensor(pickle, tensor);
    return pickle + "u.";
}
