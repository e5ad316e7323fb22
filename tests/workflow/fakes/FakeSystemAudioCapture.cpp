#include "tests/workflow/fakes/FakeSystemAudioCapture.h"

QCoro::Task<QList<CaptureApplication>> FakeSystemAudioCapture::availableApplications() {
    co_return co_await listings.next(applications);
}

QCoro::Task<> FakeSystemAudioCapture::start(CaptureApplication application,
                                            BufferHandler onAudioBuffer) {
    startedApplications << application;
    co_await starts.next({});
    m_handler = std::move(onAudioBuffer);
}

QCoro::Task<> FakeSystemAudioCapture::stop() {
    ++stopCount;
    m_handler = nullptr;
    co_return;
}

void FakeSystemAudioCapture::deliver(const PcmBuffer& buffer) const {
    if (m_handler)
        m_handler(buffer);
}
