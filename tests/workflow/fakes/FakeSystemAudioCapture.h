#pragma once

#include "app/workflow/contracts/ISystemAudioCapture.h"
#include "tests/workflow/fakes/Script.h"

#include <tuple>

// The per-application capture; the test delivers buffers with `deliver`.
class FakeSystemAudioCapture : public ISystemAudioCapture {
public:
    QCoro::Task<QList<CaptureApplication>> availableApplications() override {
        co_return co_await listings.next(applications);
    }
    QCoro::Task<> start(CaptureApplication application, BufferHandler onAudioBuffer) override {
        startedApplications << application;
        co_await starts.next({});
        m_handler = std::move(onAudioBuffer);
    }
    QCoro::Task<> stop() override {
        ++stopCount;
        m_handler = nullptr;
        co_return;
    }

    // Hands one block to the running capture's handler, if any.
    void deliver(const PcmBuffer& buffer) const {
        if (m_handler)
            m_handler(buffer);
    }

    QList<CaptureApplication> applications;
    Script<QList<CaptureApplication>> listings;
    Script<std::tuple<>> starts;
    QList<CaptureApplication> startedApplications;
    int stopCount = 0;

private:
    BufferHandler m_handler;
};
