#include "tests/workflow/fakes/FakeNebiusClient.h"

Cancellation FakeNebiusClient::passed(const Cancellation& cancellation) const {
    return honoursCancellation ? cancellation : Cancellation();
}

QCoro::Task<QString> FakeNebiusClient::translateToKorean(QString english,
                                                         Cancellation cancellation) {
    koreanRequests << english;
    co_return co_await koreanAnswers.next(QStringLiteral("ko:") + english, passed(cancellation));
}

QCoro::Task<QString> FakeNebiusClient::translateToEnglish(QString korean,
                                                          Cancellation cancellation) {
    englishRequests << korean;
    co_return co_await englishAnswers.next(QStringLiteral("en:") + korean, passed(cancellation));
}
