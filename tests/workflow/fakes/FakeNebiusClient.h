#pragma once

#include "app/workflow/contracts/INebiusClient.h"
#include "tests/workflow/fakes/Script.h"

#include <QStringList>

// Translation both ways; unscripted calls answer "ko:<text>" and "en:<text>".
class FakeNebiusClient : public INebiusClient {
public:
    QCoro::Task<QString> translateToKorean(QString english, Cancellation cancellation) override {
        koreanRequests << english;
        co_return co_await koreanAnswers.next(QStringLiteral("ko:") + english,
                                              passed(cancellation));
    }
    QCoro::Task<QString> translateToEnglish(QString korean, Cancellation cancellation) override {
        englishRequests << korean;
        co_return co_await englishAnswers.next(QStringLiteral("en:") + korean,
                                               passed(cancellation));
    }

    Script<QString> koreanAnswers;
    Script<QString> englishAnswers;
    QStringList koreanRequests;
    QStringList englishRequests;
    // A real request may finish although its task was cancelled; switch this off
    // to deliver such late results.
    bool honoursCancellation = true;

private:
    Cancellation passed(const Cancellation& c) const {
        return honoursCancellation ? c : Cancellation();
    }
};
