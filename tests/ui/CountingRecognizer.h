#pragma once

#include "app/services/reply/SpeechRecognizer.h"

#include <algorithm>
#include <atomic>
#include <memory>

// Hands every request on to another recognizer and counts on the way the samples that are not
// silence, so that a test can wait until everything it spoke has been heard.
class CountingRecognizer : public SpeechRecognizer {
public:
    CountingRecognizer(std::unique_ptr<SpeechRecognizer> recognizer,
                       std::shared_ptr<std::atomic<qint64>> heard)
        : m_recognizer(std::move(recognizer)), m_heard(std::move(heard)) {}

    bool isAvailable() const override { return m_recognizer->isAvailable(); }
    bool supportsOnDeviceRecognition() const override {
        return m_recognizer->supportsOnDeviceRecognition();
    }
    QCoro::Task<bool> requestAuthorization() override {
        return m_recognizer->requestAuthorization();
    }
    std::unique_ptr<SpeechRecognitionTask>
    recognitionTask(std::shared_ptr<SpeechAudioBufferRequest> request,
                    ResultHandler handler) override {
        auto passedOn =
            std::make_shared<SpeechAudioBufferRequest>(SpeechAudioBufferRequest::Settings{});
        request->consume(
            [passedOn, heard = m_heard](const PcmBuffer& buffer) {
                const auto samples = buffer.samples<float>(0);
                *heard += std::ranges::count_if(samples, [](float sample) { return sample != 0; });
                passedOn->appendAudioPCMBuffer(buffer);
            },
            [passedOn] { passedOn->endAudio(); });
        return m_recognizer->recognitionTask(passedOn, std::move(handler));
    }
    void setModelProgressHandler(ModelProgressHandler handler) override {
        m_recognizer->setModelProgressHandler(std::move(handler));
    }

private:
    std::unique_ptr<SpeechRecognizer> m_recognizer;
    std::shared_ptr<std::atomic<qint64>> m_heard;
};
