#include "tests/workflow/fakes/FakeCaptionService.h"

QCoro::Task<> FakeCaptionService::start() {
    ++startCount;
    setCompletedSentence(QString());
    setTranscript(QString());
    co_await starts.next({});
}

void FakeCaptionService::append(const PcmBuffer&) {
    ++appendedCount;
}

QCoro::Task<> FakeCaptionService::cancel() {
    ++cancelCount;
    co_return;
}
