#include "app/workflow/contracts/INemotronCaptionService.h"

#include "app/core/Observable.h"

void INemotronCaptionService::setTranscript(const QString& value) {
    assign(this, m_transcript, value, &INemotronCaptionService::transcriptChanged);
}

void INemotronCaptionService::setCompletedSentence(const QString& value) {
    assign(this, m_completedSentence, value, &INemotronCaptionService::completedSentenceChanged);
}

void INemotronCaptionService::setIsListening(bool value) {
    assign(this, m_isListening, value, &INemotronCaptionService::isListeningChanged);
}

void INemotronCaptionService::setIsPreparing(bool value) {
    assign(this, m_isPreparing, value, &INemotronCaptionService::isPreparingChanged);
}

std::optional<double> INemotronCaptionService::modelProgress() const {
    if (!m_modelProgress)
        return std::nullopt;
    return m_modelProgress->fractionCompleted;
}

void INemotronCaptionService::setModelProgress(std::optional<NemotronDownloadProgress> value) {
    m_modelProgress = std::move(value);
    emit modelProgressChanged(modelProgress());
}

void INemotronCaptionService::setRecognitionError(std::optional<QString> value) {
    assign(this, m_recognitionError, std::move(value),
           &INemotronCaptionService::recognitionErrorChanged);
}

void INemotronCaptionService::setLagSeconds(int value) {
    assign(this, m_lagSeconds, value, &INemotronCaptionService::lagSecondsChanged);
}

void INemotronCaptionService::setSkippedSeconds(int value) {
    assign(this, m_skippedSeconds, value, &INemotronCaptionService::skippedSecondsChanged);
}

QVariant INemotronCaptionService::modelProgressValue() const {
    return variantOf(modelProgress());
}

QVariant INemotronCaptionService::recognitionErrorValue() const {
    return variantOf(m_recognitionError);
}
