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
    // Stops, then publishes `finalTranscript` (the words decoded only at the end) or throws
    // `finishFailure`.
    QCoro::Task<QString> finish() override;

    bool permissionsGranted = true;
    std::optional<QString> startFailure;
    std::optional<QString> finalTranscript;
    std::optional<QString> finishFailure;
    int stopCount = 0;
};
