#pragma once

#include <QString>
#include <QStringList>

#include <variant>

// The arguments of `relayo transcribe [--model DIR] AUDIO`.
struct TranscribeOptions {
    QString modelFolder;
    QString audioPath;

    // The options, or a one-line reason why the arguments are wrong. Without --model, the
    // English 560 ms folder in the per-user model cache.
    static std::variant<TranscribeOptions, QString> parse(const QStringList& arguments);
};
