#include "tests/speech-engine/import/NemoFixture.h"

#include "speech-engine/import/checkpoint/NemoCheckpointReader.h"
#include "speech-engine/runtime/ModelRunner.h"
#include "tests/speech-engine/import/Npy.h"

#include <QTemporaryDir>

#include <algorithm>
#include <cmath>

namespace {

template <typename T>
MultiArray arrayOf(std::vector<std::int64_t> shape, MultiArrayDataType type, const T* values) {
    auto array = MultiArray::createZeroed(std::move(shape), type);
    std::copy_n(values, array.count(), array.data<T>());
    return array;
}

// Step `s` of a recorded [S, ...] array.
std::vector<float> slice(const Npy& recorded, std::int64_t s) {
    const auto size = recorded.elementCount() / recorded.shape[0];
    return {recorded.floats.begin() + s * size, recorded.floats.begin() + (s + 1) * size};
}

MultiArray stepOf(const Npy& recorded, std::int64_t s, std::vector<std::int64_t> shape) {
    return arrayOf(std::move(shape), MultiArrayDataType::float32, slice(recorded, s).data());
}

std::vector<float> valuesOf(const MultiArray& array) {
    std::vector<float> values;
    array.forEachOffset(
        [&](std::int64_t offset) { values.push_back(array.data<float>()[offset]); });
    return values;
}

} // namespace

std::string NemoFixture::checkpointPath(const std::string& variant) {
    return nemoFixturePath("small-" + variant + ".nemo");
}

NemoCheckpoint NemoFixture::checkpoint(const std::string& variant) {
    const QTemporaryDir scratch;
    return NemoCheckpointReader::read(checkpointPath(variant), scratch.path().toStdString());
}

QString NemoFixture::mismatch(const MultiArray& got, const std::vector<float>& reference) {
    const auto values = valuesOf(got);
    if (values.size() != reference.size())
        return QStringLiteral("%1 elements, expected %2").arg(values.size()).arg(reference.size());
    float worst = 0, scale = 1;
    for (std::size_t i = 0; i < values.size(); ++i) {
        worst = std::max(worst, std::abs(values[i] - reference[i]));
        scale = std::max(scale, std::abs(reference[i]));
    }
    return worst <= 1e-4f * scale
               ? QString()
               : QStringLiteral("max |diff| %1 beyond %2").arg(worst).arg(1e-4f * scale);
}

QString NemoFixture::stepMismatch(const std::string& variant, const ModelRunner& decoder,
                                  const ModelRunner& joint) {
    const auto read = [&](const char* name) {
        return Npy::read(nemoFixturePath(variant + "/steps/" + name + ".npy"));
    };
    const auto tokens = read("token"), hIn = read("h_in"), cIn = read("c_in"), hOut = read("h_out"),
               cOut = read("c_out"), decoderOut = read("decoder_out"),
               frames = read("encoder_frame"), logits = read("joint_logits");
    const auto argmax = read("argmax").ints;
    const std::vector<std::int64_t> state{hIn.shape[1], 1, hIn.shape[2]};
    const std::int32_t one = 1;
    for (std::int64_t s = 0; s < tokens.shape[0]; ++s) {
        const auto step =
            decoder.predict({{"token", arrayOf({1, 1}, MultiArrayDataType::int32, &tokens.ints[s])},
                             {"token_length", arrayOf({1}, MultiArrayDataType::int32, &one)},
                             {"h_in", stepOf(hIn, s, state)},
                             {"c_in", stepOf(cIn, s, state)}});
        // The joint as decoding runs it: each side projected on its own, then combined.
        const auto frame = joint.predict({{"encoder", stepOf(frames, s, {1, frames.shape[1], 1})}},
                                         "project_encoder");
        const auto prediction =
            joint.predict({{"decoder", step.at("decoder_out")}}, "project_decoder");
        auto row = valuesOf(joint
                                .predict({{"encoder", frame.at("projected")},
                                          {"decoder", prediction.at("projected")}},
                                         "joint_projected")
                                .at("logits"));
        const auto best = std::max_element(row.begin(), row.end()) - row.begin();
        // The reference logits are NeMo's log-softmax of the joint's.
        double sum = 0;
        for (const auto value : row)
            sum += std::exp(double(value - row[best]));
        const auto shift = row[best] + float(std::log(sum));
        for (auto& value : row)
            value -= shift;
        for (const auto& [got, reference] :
             {std::pair{step.at("h_out"), &hOut},
              {step.at("c_out"), &cOut},
              {step.at("decoder_out"), &decoderOut},
              {arrayOf({std::int64_t(row.size())}, MultiArrayDataType::float32, row.data()),
               &logits}})
            if (const auto failure = mismatch(got, slice(*reference, s)); !failure.isEmpty())
                return QStringLiteral("step %1: %2").arg(s).arg(failure);
        if (best != argmax[s])
            return QStringLiteral("step %1: arg-max %2, expected %3")
                .arg(s)
                .arg(best)
                .arg(argmax[s]);
    }
    return {};
}
