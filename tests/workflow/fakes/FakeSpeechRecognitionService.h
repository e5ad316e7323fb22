#pragma once

#include "app/workflow/ServiceError.h"
#include "app/workflow/contracts/ISpeechRecognitionService.h"

#include <optional>

// The Korean recogniser; the test publishes what it "heard" with setTranscript.
class FakeSpeechRecognitionService : public ISpeechRecognitionService {
public:
    FakeSpeechRecognitionService() : ISpeechRecognitionService(QStringLiteral("ko-KR")) {}

    QCoro::Task<bool> requestPermissions() override { co_return permissionsGranted; }
    void startMicrophone() override {
        if (startFailure)
            throw ServiceError(*startFailure, QStringLiteral("Speech"), 1);
        setTranscript(QString());
        setIsListening(true);
    }
    void stop() override {
        ++stopCount;
        setIsListening(false);
    }

    bool permissionsGranted = true;
    std::optional<QString> startFailure;
    int stopCount = 0;
};
