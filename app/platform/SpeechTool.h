#pragma once

#include <QString>
#include <qcoro/qcorotask.h>

// The free system voice: the espeak-ng command-line tool, run as a child
// process and awaited without blocking the caller's thread.
class SpeechTool {
public:
    static constexpr int wordsPerMinute = 178;

    // Speaks `text` with `voice` ("Samantha" and "Daniel" name the two presets;
    // any other name goes to espeak-ng unchanged) into the WAV file
    // `outputPath`. Returns the tool's exit status (-1 when it crashed or hung).
    // Throws ServiceError (domain "QProcess") when the tool cannot be started.
    static QCoro::Task<int> speak(QString text, QString voice, QString outputPath);
};
