#pragma once

#include "speech-engine/hub/NemotronDownloadProgress.h"

#include <QObject>
#include <QString>
#include <QVariant>
#include <optional>
#include <qcoro/qcorotask.h>

// Recognises the user's spoken reply in one locale ("ko-KR").
class ISpeechRecognitionService : public QObject {
    Q_OBJECT
    Q_PROPERTY(QString transcript READ transcript NOTIFY transcriptChanged)
    Q_PROPERTY(bool isListening READ isListening NOTIFY isListeningChanged)
    Q_PROPERTY(QVariant recognitionError READ recognitionErrorValue NOTIFY recognitionErrorChanged)

public:
    explicit ISpeechRecognitionService(QString localeIdentifier, QObject* parent = nullptr)
        : QObject(parent), m_localeIdentifier(std::move(localeIdentifier)) {}

    QString localeIdentifier() const { return m_localeIdentifier; }

    // True only when both speech recognition and the microphone are allowed.
    virtual QCoro::Task<bool> requestPermissions() = 0;
    // Starts a new reply: transcript becomes empty, then follows the recognised
    // text live. Throws an error with a description when it cannot start.
    virtual void startMicrophone() = 0;
    // Ends the reply; transcript keeps the last text. Never throws.
    virtual void stop() = 0;
    // Ends the reply like `stop`, then returns its whole text once the recognizer has decoded
    // everything it heard (what it still buffered included); throws the recognizer's error.
    virtual QCoro::Task<QString> finish() = 0;
    // The recognizer's model is on this computer.
    virtual bool hasModel() const = 0;
    // Fetches and loads the model unless that is done, joining a fetch under way (a reply's
    // included); throws what made it fail.
    virtual QCoro::Task<> prepareModel() = 0;
    // Stops a fetch of the model under way; replies waiting for it fail. Never throws.
    virtual void cancelModelDownload() = 0;

    QString transcript() const { return m_transcript; }
    bool isListening() const { return m_isListening; }
    std::optional<QString> recognitionError() const { return m_recognitionError; }
    // While the recognizer's model is fetched, whether a reply waits for it or not.
    const std::optional<NemotronDownloadProgress>& modelProgress() const { return m_modelProgress; }

    void setTranscript(const QString& value);
    void setIsListening(bool value);
    void setRecognitionError(std::optional<QString> value);
    void setModelProgress(std::optional<NemotronDownloadProgress> value);

signals:
    void transcriptChanged(const QString& transcript);
    void isListeningChanged(bool isListening);
    void recognitionErrorChanged(std::optional<QString> recognitionError);
    void modelProgressChanged(const std::optional<NemotronDownloadProgress>& modelProgress);

private:
    QVariant recognitionErrorValue() const;

    QString m_localeIdentifier;
    QString m_transcript;
    bool m_isListening = false;
    std::optional<QString> m_recognitionError;
    std::optional<NemotronDownloadProgress> m_modelProgress;
};
