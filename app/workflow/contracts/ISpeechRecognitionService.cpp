#include "app/workflow/contracts/ISpeechRecognitionService.h"

#include "app/core/Observable.h"

void ISpeechRecognitionService::setTranscript(const QString& value) {
    assign(this, m_transcript, value, &ISpeechRecognitionService::transcriptChanged);
}

void ISpeechRecognitionService::setIsListening(bool value) {
    assign(this, m_isListening, value, &ISpeechRecognitionService::isListeningChanged);
}

void ISpeechRecognitionService::setRecognitionError(std::optional<QString> value) {
    assign(this, m_recognitionError, std::move(value),
           &ISpeechRecognitionService::recognitionErrorChanged);
}

void ISpeechRecognitionService::setModelProgress(std::optional<NemotronDownloadProgress> value) {
    assign(this, m_modelProgress, std::move(value),
           &ISpeechRecognitionService::modelProgressChanged);
}

QVariant ISpeechRecognitionService::recognitionErrorValue() const {
    return variantOf(m_recognitionError);
}
