#include "cli/ImportCommandLine.h"

#include "speech-engine/hub/NemotronModelDownloader.h"

#include <QCommandLineParser>
#include <QDir>

#include <stdexcept>

namespace {

std::filesystem::path pathOf(const QString& path) {
    return std::filesystem::path(path.toStdString());
}

int chunkMsOf(const QString& value) {
    bool ok = false;
    const int chunkMs = value.toInt(&ok);
    if (!ok || chunkMs <= 0)
        throw std::invalid_argument("--chunk-ms takes a positive number of milliseconds, not " +
                                    value.toStdString());
    return chunkMs;
}

ModelPrecision precisionOf(const QString& value) {
    if (value == u"int8")
        return ModelPrecision::int8;
    if (value == u"fp32")
        return ModelPrecision::fp32;
    throw std::invalid_argument("--precision takes int8 or fp32, not " + value.toStdString());
}

// The model the program looks for: the English 560 ms variant, or the Korean one for a
// --locale import.
HubModel defaultModel(bool withLocale) {
    return withLocale ? HubModel::korean() : HubModel::english(Repo::nemotronStreaming560);
}

} // namespace

ImportCommandLine ImportCommandLine::parse(const QStringList& arguments,
                                           const QString& modelsRoot) {
    QCommandLineParser parser;
    const QCommandLineOption chunkMs("chunk-ms", "", "N");
    const QCommandLineOption precision("precision", "", "int8|fp32", "int8");
    const QCommandLineOption locale("locale", "", "L");
    const QCommandLineOption out("out", "", "DIR");
    parser.addOptions({chunkMs, precision, locale, out});
    if (!parser.parse(arguments))
        throw std::invalid_argument(parser.errorText().toStdString());
    if (parser.positionalArguments().size() != 1)
        throw std::invalid_argument("name one checkpoint file (.nemo)");
    ImportCommandLine command;
    command.checkpoint = pathOf(parser.positionalArguments().front());
    const auto model = defaultModel(parser.isSet(locale));
    command.options.chunkMs =
        parser.isSet(chunkMs) ? chunkMsOf(parser.value(chunkMs)) : model.chunkMs;
    command.options.precision = precisionOf(parser.value(precision));
    if (parser.isSet(locale))
        command.options.locale = parser.value(locale).toStdString();
    command.folder = pathOf(QDir::cleanPath(QDir::current().absoluteFilePath(
        parser.isSet(out) ? parser.value(out)
                          : NemotronModelDownloader::modelFolder(model, modelsRoot))));
    return command;
}
