#pragma once

#include "tests/speech-engine/models/ScriptModelWriter.h"

#include <QJsonObject>
#include <QString>
#include <QStringList>

// The four models of one variant folder.
struct ModelSources {
    ScriptModel preprocessor;
    ScriptModel encoder;
    ScriptModel decoder;
    ScriptModel joint;
};

// Writes a loadable variant folder: the four models, `configuration` as "metadata.json" and a
// "tokenizer.json" with `tokens` at ids 0, 1, ...
void writeModelFolder(const QString& folder, const ModelSources& sources,
                      const QJsonObject& configuration, const QStringList& tokens);
