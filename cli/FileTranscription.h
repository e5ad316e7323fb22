#pragma once

#include <QString>

#include <qcoro/qcorotask.h>

#include <functional>

// A sound file through the streaming recognizer the way the captions feed it: 16 kHz mono
// blocks of 20 ms through `process`, then `finish`.
namespace FileTranscription {
// Called with every running transcript of the streamed chunks that differs from the one before,
// on the recognizer's executor; not for the chunks `finish` runs.
using PartialHandler = std::function<void(const QString&)>;

// Checks that `modelFolder` holds every file of a model folder, loads it, and returns the final
// text of the file at `audioPath` (any format, rate and channel count libsndfile reads).
// Throws std::runtime_error with a one-line reason for an incomplete folder, and whatever the
// recognizer or the audio conversion throws.
QCoro::Task<QString> run(QString modelFolder, QString audioPath, PartialHandler partial);
} // namespace FileTranscription
