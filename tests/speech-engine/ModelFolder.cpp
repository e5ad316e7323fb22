#include "tests/speech-engine/ModelFolder.h"

#include "speech-engine/ModelNames.h"
#include "tests/speech-engine/ScriptModelWriter.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <stdexcept>

namespace {

void writeJson(const QString& path, const QJsonObject& object) {
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(QJsonDocument(object).toJson()) < 0)
        throw std::runtime_error("Could not write " + path.toStdString());
}

} // namespace

void writeModelFolder(const QString& folder, const ModelSources& sources,
                      const QJsonObject& configuration, const QStringList& tokens) {
    using namespace ModelNames::NemotronStreaming;
    const QDir dir(folder);
    dir.mkpath(encoderFolder);
    saveScriptModel(dir.filePath(preprocessorFile).toStdString(), sources.preprocessor);
    saveScriptModel(dir.filePath(encoderPath).toStdString(), sources.encoder);
    saveScriptModel(dir.filePath(decoderFile).toStdString(), sources.decoder);
    saveScriptModel(dir.filePath(jointFile).toStdString(), sources.joint);
    writeJson(dir.filePath(metadata), configuration);
    QJsonObject vocabulary;
    for (int id = 0; id < tokens.size(); ++id)
        vocabulary.insert(QString::number(id), tokens[id]);
    writeJson(dir.filePath(tokenizer), vocabulary);
}
