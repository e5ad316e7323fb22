#pragma once

#include "speech-engine/audio/PcmBuffer.h"
#include "speech-engine/hub/NemotronDownloadProgress.h"

#include <QObject>
#include <QString>
#include <QVariant>
#include <optional>
#include <qcoro/qcorotask.h>

// Live English captions of the meeting. The observable fields live here so that
// every implementation announces them the same way; they are assigned only on
// the main thread.
class INemotronCaptionService : public QObject {
    Q_OBJECT
    Q_PROPERTY(QString transcript READ transcript NOTIFY transcriptChanged)
    Q_PROPERTY(QString completedSentence READ completedSentence NOTIFY completedSentenceChanged)
    Q_PROPERTY(bool isListening READ isListening NOTIFY isListeningChanged)
    Q_PROPERTY(bool isPreparing READ isPreparing NOTIFY isPreparingChanged)
    // The fraction of the current stage; QML sees an absent value as null.
    Q_PROPERTY(QVariant modelProgress READ modelProgressValue NOTIFY modelProgressChanged)
    Q_PROPERTY(QVariant recognitionError READ recognitionErrorValue NOTIFY recognitionErrorChanged)
    // Whole seconds of audio heard but not yet recognised.
    Q_PROPERTY(int lagSeconds READ lagSeconds NOTIFY lagSecondsChanged)
    // Whole seconds of audio this run skipped to catch up with the meeting.
    Q_PROPERTY(int skippedSeconds READ skippedSeconds NOTIFY skippedSecondsChanged)

public:
    using QObject::QObject;

    // Ends any earlier run, empties both texts, prepares the model on first use;
    // on return audio is accepted. May throw the model-preparation error.
    virtual QCoro::Task<> start() = 0;
    // Callable from any thread; never blocks for long. Outside a run the buffer is discarded.
    virtual void append(const PcmBuffer& buffer) = 0;
    // Ends the run, or a preparation; texts and recognitionError stay. Never throws.
    virtual QCoro::Task<> cancel() = 0;
    // The model is on this computer, so a start downloads nothing.
    virtual bool hasModel() const = 0;
    // Fetches and loads the model ahead of the first start, showing it as preparing; does
    // nothing while listening or preparing. May throw the model-preparation error.
    virtual QCoro::Task<> prepareModel() = 0;

    QString transcript() const { return m_transcript; }
    QString completedSentence() const { return m_completedSentence; }
    bool isListening() const { return m_isListening; }
    bool isPreparing() const { return m_isPreparing; }
    std::optional<double> modelProgress() const;
    // Bytes, time left or import stage beside the fraction.
    const std::optional<NemotronDownloadProgress>& modelProgressReport() const {
        return m_modelProgress;
    }
    std::optional<QString> recognitionError() const { return m_recognitionError; }
    int lagSeconds() const { return m_lagSeconds; }
    int skippedSeconds() const { return m_skippedSeconds; }

    void setTranscript(const QString& value);
    void setCompletedSentence(const QString& value);
    void setIsListening(bool value);
    void setIsPreparing(bool value);
    void setModelProgress(std::optional<NemotronDownloadProgress> value);
    void setRecognitionError(std::optional<QString> value);
    void setLagSeconds(int value);
    void setSkippedSeconds(int value);

signals:
    void transcriptChanged(const QString& transcript);
    void completedSentenceChanged(const QString& completedSentence);
    void isListeningChanged(bool isListening);
    void isPreparingChanged(bool isPreparing);
    void modelProgressChanged(std::optional<double> modelProgress);
    void recognitionErrorChanged(std::optional<QString> recognitionError);
    void lagSecondsChanged(int lagSeconds);
    void skippedSecondsChanged(int skippedSeconds);

private:
    QVariant modelProgressValue() const;
    QVariant recognitionErrorValue() const;

    QString m_transcript;
    QString m_completedSentence;
    bool m_isListening = false;
    bool m_isPreparing = false;
    std::optional<NemotronDownloadProgress> m_modelProgress;
    std::optional<QString> m_recognitionError;
    int m_lagSeconds = 0;
    int m_skippedSeconds = 0;
};
