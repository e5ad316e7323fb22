#pragma once

#include "app/workflow/contracts/ISpeechRecognitionService.h"

#include <optional>

// The Korean recogniser; the test publishes what it "heard" with setTranscript.
class FakeSpeechRecognitionService : public ISpeechRecognitionService {
public:
    FakeSpeechRecognitionService() : ISpeechRecognitionService(QStringLiteral("ko-KR")) {}

    QCoro::Task<bool> requestPermissions() override;
    void startMicrophone() override;
    void stop() override;

    bool permissionsGranted = true;
    std::optional<QString> startFailure;
    int stopCount = 0;
};
