#pragma once

#include "app/workflow/contracts/INemotronCaptionService.h"
#include "tests/workflow/fakes/Script.h"

#include <atomic>
#include <tuple>

// Live captions whose texts the test publishes with the inherited setters.
class FakeCaptionService : public INemotronCaptionService {
public:
    QCoro::Task<> start() override {
        ++startCount;
        setCompletedSentence(QString());
        setTranscript(QString());
        co_await starts.next({});
    }
    void append(const PcmBuffer&) override { ++appendedCount; }
    QCoro::Task<> cancel() override {
        ++cancelCount;
        co_return;
    }

    Script<std::tuple<>> starts;
    int startCount = 0;
    int cancelCount = 0;
    std::atomic<int> appendedCount = 0;
};
