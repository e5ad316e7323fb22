#include "app/workflow/AppViewModel.h"

#include "app/core/ServiceError.h"

namespace {

// What `preparation` failed with, if it did.
QCoro::Task<std::optional<QString>> failureOf(QCoro::Task<> preparation) {
    try {
        co_await std::move(preparation);
    } catch (const std::exception& error) {
        co_return describe(error);
    }
    co_return std::nullopt;
}

} // namespace

int AppViewModel::missingModels() const {
    return int(!m_services.meetingSpeech->hasModel()) + int(!m_services.koreanSpeech->hasModel());
}

// Both at once: the two downloads share the line, and neither waits for the other to fail.
QCoro::Task<> AppViewModel::downloadModels() {
    auto captions = prepareCaptionModel();
    auto reply = prepareKoreanModel();
    co_await std::move(captions);
    co_await std::move(reply);
}

void AppViewModel::cancelKoreanModelDownload() {
    m_services.koreanSpeech->cancelModelDownload();
}

QCoro::Task<> AppViewModel::prepareCaptionModel() {
    QPointer self(this);
    const auto failure = co_await failureOf(m_services.meetingSpeech->prepareModel());
    if (!self)
        co_return;
    failure ? failListening(*failure) : clearFailure();
}

// A reply waiting for the same download reports its failure itself.
QCoro::Task<> AppViewModel::prepareKoreanModel() {
    QPointer self(this);
    const auto failure = co_await failureOf(m_services.koreanSpeech->prepareModel());
    if (!self || isReplyUnderway())
        co_return;
    failure ? fail(*failure) : clearFailure();
}
