#include "cli/TranscribeOptions.h"

#include "speech-engine/hub/NemotronModelDownloader.h"

#include <QCommandLineParser>

std::variant<TranscribeOptions, QString> TranscribeOptions::parse(const QStringList& arguments) {
    QCommandLineParser parser;
    const QCommandLineOption model(QStringLiteral("model"),
                                   QStringLiteral("The model folder to recognise with."),
                                   QStringLiteral("DIR"));
    parser.addOption(model);
    if (!parser.parse(arguments)) {
        return parser.errorText();
    }
    if (parser.positionalArguments().size() != 1) {
        return QStringLiteral("Expected one audio file.");
    }
    return TranscribeOptions{
        parser.isSet(model)
            ? parser.value(model)
            : NemotronModelDownloader::variantFolder(Repo::nemotronStreaming560,
                                                     NemotronModelDownloader::defaultModelsRoot()),
        parser.positionalArguments().front()};
}
