#include "speech-engine/import/Int8AgreementJson.h"

#include <QJsonArray>

namespace {

using Measure = Int8Agreement::Measure;

QJsonObject measureJson(const Measure& measure) {
    return {{"cosine", measure.cosine}, {"max_difference", measure.maxDifference}};
}

std::optional<Measure> measureOf(const QJsonValue& value) {
    const auto object = value.toObject();
    const auto cosine = object.value("cosine"), difference = object.value("max_difference");
    if (!cosine.isDouble() || !difference.isDouble())
        return std::nullopt;
    return Measure{cosine.toDouble(), difference.toDouble()};
}

} // namespace

QJsonObject Int8AgreementJson::toJson(const Int8Agreement& agreement) {
    QJsonObject json{{"signal", QString::fromStdString(agreement.signal)}};
    if (!agreement.measured()) {
        json.insert("not_measured", QString::fromStdString(agreement.notMeasured));
        return json;
    }
    QJsonArray layers;
    for (const auto& layer : agreement.layers)
        layers.append(measureJson(layer));
    json.insert("bound",
                measureJson({Int8Agreement::minimumCosine, Int8Agreement::maximumDifference}));
    json.insert("encoder", measureJson(agreement.encoder));
    json.insert("layers", layers);
    return json;
}

std::optional<Int8Agreement> Int8AgreementJson::fromMetadata(const QJsonObject& metadata) {
    const auto json = metadata.value(key).toObject();
    const auto signal = json.value("signal");
    if (!signal.isString())
        return std::nullopt;
    Int8Agreement agreement{signal.toString().toStdString(), {}, {}, {}};
    const auto notMeasured = json.value("not_measured");
    if (notMeasured.isString()) {
        agreement.notMeasured = notMeasured.toString().toStdString();
        return agreement.measured() ? std::nullopt : std::optional(agreement);
    }
    const auto encoder = measureOf(json.value("encoder"));
    if (!encoder)
        return std::nullopt;
    agreement.encoder = *encoder;
    for (const auto layer : json.value("layers").toArray()) {
        const auto measure = measureOf(layer);
        if (!measure)
            return std::nullopt;
        agreement.layers.push_back(*measure);
    }
    return agreement;
}
