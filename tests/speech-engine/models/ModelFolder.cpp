#include "tests/speech-engine/models/ModelFolder.h"

#include "speech-engine/core/ModelNames.h"
#include "tests/speech-engine/TestHelpers.h"
#include "tests/speech-engine/models/ScriptModelWriter.h"

#include <QJsonDocument>

void writeModelFolder(const QString& folder, const ModelSources& sources,
                      const QJsonObject& configuration, const QStringList& tokens) {
    using namespace ModelNames::NemotronStreaming;
    const QDir dir(folder);
    dir.mkpath(encoderFolder);
    saveScriptModel(dir.filePath(preprocessorFile).toStdString(), sources.preprocessor);
    saveScriptModel(dir.filePath(encoderPath).toStdString(), sources.encoder);
    saveScriptModel(dir.filePath(decoderFile).toStdString(), sources.decoder);
    saveScriptModel(dir.filePath(jointFile).toStdString(), sources.joint);
    writeTestFile(dir.filePath(metadata), QJsonDocument(configuration).toJson());
    QJsonObject vocabulary;
    for (int id = 0; id < tokens.size(); ++id)
        vocabulary.insert(QString::number(id), tokens[id]);
    writeTestFile(dir.filePath(tokenizer), QJsonDocument(vocabulary).toJson());
}
