#pragma once

#include "app/workflow/contracts/ISystemAudioCapture.h"
#include "tests/workflow/fakes/Script.h"

#include <tuple>

// The per-application capture; the test delivers buffers with `deliver`.
class FakeSystemAudioCapture : public ISystemAudioCapture {
public:
    QCoro::Task<QList<CaptureApplication>> availableApplications() override;
    QCoro::Task<> start(CaptureApplication application, BufferHandler onAudioBuffer) override;
    QCoro::Task<> stop() override;

    // Hands one block to the running capture's handler, if any.
    void deliver(const PcmBuffer& buffer) const;

    QList<CaptureApplication> applications;
    Script<QList<CaptureApplication>> listings;
    Script<std::tuple<>> starts;
    QList<CaptureApplication> startedApplications;
    int stopCount = 0;

private:
    BufferHandler m_handler;
};
