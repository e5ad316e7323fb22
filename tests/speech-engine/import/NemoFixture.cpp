#include "tests/speech-engine/import/NemoFixture.h"

#include "speech-engine/ModelRunner.h"
#include "speech-engine/import/NemoCheckpointReader.h"
#include "tests/speech-engine/import/Npy.h"

#include <QTemporaryDir>

#include <algorithm>
#include <cmath>

namespace {

MultiArray arrayOf(std::vector<std::int64_t> shape, const float* values) {
    auto array = MultiArray::createZeroed(std::move(shape), MultiArrayDataType::float32);
    std::copy_n(values, array.count(), array.data<float>());
    return array;
}

MultiArray scalarArray(std::vector<std::int64_t> shape, std::int32_t value) {
    auto array = MultiArray::createZeroed(std::move(shape), MultiArrayDataType::int32);
    *array.data<std::int32_t>() = value;
    return array;
}

std::vector<float> valuesOf(const MultiArray& array) {
    std::vector<float> values;
    array.forEachOffset(
        [&](std::int64_t offset) { values.push_back(array.data<float>()[offset]); });
    return values;
}

std::vector<float> logSoftmax(std::vector<float> logits) {
    const auto top = *std::max_element(logits.begin(), logits.end());
    double sum = 0;
    for (auto value : logits)
        sum += std::exp(double(value) - top);
    const auto shift = float(top + std::log(sum));
    for (auto& value : logits)
        value -= shift;
    return logits;
}

// One recorded step's slice of a [S, ...] reference array.
std::vector<float> slice(const Npy& array, std::int64_t step) {
    const auto size = array.elementCount() / array.shape[0];
    return {array.floats.begin() + step * size, array.floats.begin() + (step + 1) * size};
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
        return Npy::read(nemoFixturePath(variant + "/steps/" + name));
    };
    const auto tokens = read("token.npy"), hIn = read("h_in.npy"), cIn = read("c_in.npy"),
               hOut = read("h_out.npy"), cOut = read("c_out.npy"),
               decoderOut = read("decoder_out.npy"), frames = read("encoder_frame.npy"),
               logits = read("joint_logits.npy");
    const auto argmax = read("argmax.npy").ints;
    const auto layers = hIn.shape[1], hidden = hIn.shape[2], dim = frames.shape[1];
    for (std::int64_t s = 0; s < tokens.shape[0]; ++s) {
        const auto step =
            decoder.predict({{"token", scalarArray({1, 1}, tokens.ints[s])},
                             {"token_length", scalarArray({1}, 1)},
                             {"h_in", arrayOf({layers, 1, hidden}, slice(hIn, s).data())},
                             {"c_in", arrayOf({layers, 1, hidden}, slice(cIn, s).data())}});
        // The joint as decoding runs it: each side projected on its own, then combined.
        const auto frame = joint.predict(
            {{"encoder", arrayOf({1, dim, 1}, slice(frames, s).data())}}, "project_encoder");
        const auto prediction =
            joint.predict({{"decoder", step.at("decoder_out")}}, "project_decoder");
        const auto scored = joint.predict(
            {{"encoder", frame.at("projected")}, {"decoder", prediction.at("projected")}},
            "joint_projected");
        const auto row = valuesOf(scored.at("logits"));
        const auto best = std::max_element(row.begin(), row.end()) - row.begin();
        const std::pair<MultiArray, const Npy*> checks[] = {
            {step.at("h_out"), &hOut},
            {step.at("c_out"), &cOut},
            {step.at("decoder_out"), &decoderOut},
            {arrayOf({std::int64_t(row.size())}, logSoftmax(row).data()), &logits}};
        for (const auto& [got, reference] : checks)
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
