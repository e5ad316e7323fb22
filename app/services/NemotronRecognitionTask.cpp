#include "app/services/NemotronRecognitionTask.h"

#include "app/workflow/ServiceError.h"
#include "speech-engine/StreamingNemotronAsrManager.h"

#include <QCoreApplication>
#include <utility>

// Touched only on the main thread.
struct NemotronRecognitionTask::State {
    std::shared_ptr<StreamingNemotronAsrManager> manager;
    SpeechRecognizer::ResultHandler handler;
    bool ended = false;
    bool failed = false;
};

namespace {

template <typename Job> void postToMainThread(Job job) {
    QMetaObject::invokeMethod(QCoreApplication::instance(), std::move(job), Qt::QueuedConnection);
}

} // namespace

// Reports the first failure of the task; the ones that follow from it add nothing.
QCoro::Task<> NemotronRecognitionTask::reportFailure(std::shared_ptr<State> state,
                                                     QCoro::Task<> operation) {
    try {
        co_await std::move(operation);
    } catch (const std::exception& error) {
        if (!std::exchange(state->failed, true)) {
            state->handler(std::nullopt, describe(error));
        }
    }
}

NemotronRecognitionTask::NemotronRecognitionTask(
    std::shared_ptr<StreamingNemotronAsrManager> manager, std::optional<QCoro::Task<>> load,
    const std::shared_ptr<SpeechAudioBufferRequest>& request,
    SpeechRecognizer::ResultHandler handler)
    : m_state(std::make_shared<State>(State{std::move(manager), handler})) {
    if (load) {
        reportFailure(m_state, std::move(*load));
    }
    reportFailure(m_state, m_state->manager->reset());
    reportFailure(m_state, m_state->manager->setPartialCallback(
                               [handler](const QString& text) { handler(text, std::nullopt); }));
    // The request's handlers run on the microphone's thread; the recognizer is driven from
    // the main thread, in the order the blocks came.
    request->consume(
        [weak = std::weak_ptr(m_state)](const PcmBuffer& buffer) {
            postToMainThread([weak, buffer] {
                const auto state = weak.lock();
                if (state && !state->ended) {
                    reportFailure(state, state->manager->appendAudio(buffer));
                    reportFailure(state, state->manager->processBufferedAudio());
                }
            });
        },
        [state = m_state] { postToMainThread([state] { endAudio(state); }); });
}

void NemotronRecognitionTask::finish() {
    postToMainThread([state = m_state] { endAudio(state); });
}

void NemotronRecognitionTask::endAudio(const std::shared_ptr<State>& state) {
    if (std::exchange(state->ended, true)) {
        return;
    }
    reportFailure(state, [](std::shared_ptr<State> state) -> QCoro::Task<> {
        const auto text = co_await state->manager->finish();
        state->handler(text, std::nullopt);
    }(state));
}
