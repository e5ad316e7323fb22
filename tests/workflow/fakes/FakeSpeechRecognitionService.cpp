#include "tests/workflow/fakes/FakeSpeechRecognitionService.h"

#include "app/workflow/ServiceError.h"

QCoro::Task<bool> FakeSpeechRecognitionService::requestPermissions() {
    co_return permissionsGranted;
}

void FakeSpeechRecognitionService::startMicrophone() {
    if (startFailure)
        throw ServiceError(*startFailure, QStringLiteral("Speech"), 1);
    setTranscript(QString());
    setIsListening(true);
}

void FakeSpeechRecognitionService::stop() {
    ++stopCount;
    setIsListening(false);
}

QCoro::Task<QString> FakeSpeechRecognitionService::finish() {
    stop();
    if (finishFailure)
        throw ServiceError(*finishFailure, QStringLiteral("Speech"), 2);
    if (finalTranscript)
        setTranscript(*finalTranscript);
    co_return transcript();
}
