#pragma once

#include "app/services/reply/SpeechAudioBufferRequest.h"
#include "app/services/reply/SpeechRecognitionTask.h"
#include "speech-engine/hub/NemotronDownloadProgress.h"

#include <QString>
#include <functional>
#include <memory>
#include <optional>
#include <qcoro/qcorotask.h>

// A speech recognizer for one locale: the operations the Korean reply needs of the platform.
class SpeechRecognizer {
public:
    // The best formatted transcription so far, or the description of an error. The final
    // result (the whole reply's text, or an error) is the last of a task.
    struct Result {
        std::optional<QString> text;
        std::optional<QString> error;
        bool isFinal = false;
    };
    // Called on the recognizer's own thread.
    using ResultHandler = std::function<void(Result)>;
    // Called from any thread while the recognizer fetches its model, and with no report once
    // the fetch is over.
    using ModelProgressHandler =
        std::function<void(const std::optional<NemotronDownloadProgress>&)>;

    virtual ~SpeechRecognizer() = default;

    virtual bool isAvailable() const = 0;
    virtual bool supportsOnDeviceRecognition() const = 0;
    // True when speech recognition is authorised.
    virtual QCoro::Task<bool> requestAuthorization() = 0;
    // Starts recognising `request`; results and errors go to `handler`.
    virtual std::unique_ptr<SpeechRecognitionTask>
    recognitionTask(std::shared_ptr<SpeechAudioBufferRequest> request, ResultHandler handler) = 0;
    // Where progress goes when the recognizer fetches its model; one without a model to fetch
    // never reports.
    virtual void setModelProgressHandler(ModelProgressHandler) {}
    // The model is on this computer; one without a model to fetch always has it.
    virtual bool hasModel() const { return true; }
    // Fetches and loads the model unless that is done, joining a fetch under way; throws what
    // made it fail.
    virtual QCoro::Task<> prepareModel() { co_return; }
    // Stops a fetch under way; the replies waiting for it fail.
    virtual void cancelModelFetch() {}
};
