#include "app/services/reply/NemotronRecognitionTask.h"

#include "app/workflow/ServiceError.h"
#include "speech-engine/StreamingNemotronAsrManager.h"

#include <QCoreApplication>
#include <utility>
#include <vector>

// Touched only on the main thread.
struct NemotronRecognitionTask::State {
    std::shared_ptr<StreamingNemotronAsrManager> manager;
    SpeechRecognizer::ResultHandler handler;
    std::stop_source stopLoad;
    // Until the model is loaded, blocks wait here and the end of the audio is only noted.
    bool ready = true;
    std::vector<PcmBuffer> pending{};
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
    std::stop_source stopLoad, const std::shared_ptr<SpeechAudioBufferRequest>& request,
    SpeechRecognizer::ResultHandler handler)
    : m_state(std::make_shared<State>(State{std::move(manager), handler, std::move(stopLoad)})) {
    if (load) {
        m_state->ready = false;
        startAfterLoad(m_state, std::move(*load));
    } else {
        start(m_state);
    }
    // The request's handlers run on the microphone's thread; the recognizer is driven from
    // the main thread, in the order the blocks came.
    request->consume(
        [weak = std::weak_ptr(m_state)](const PcmBuffer& buffer) {
            postToMainThread([weak, buffer] {
                const auto state = weak.lock();
                if (state && !state->ended) {
                    recognize(state, buffer);
                }
            });
        },
        [state = m_state] { postToMainThread([state] { endAudio(state); }); });
}

void NemotronRecognitionTask::start(const std::shared_ptr<State>& state) {
    reportFailure(state, state->manager->reset());
    reportFailure(
        state, state->manager->setPartialCallback([handler = state->handler](const QString& text) {
            handler(text, std::nullopt);
        }));
}

// A download can take minutes: the reply's blocks wait for the model instead of reaching a
// recognizer without one.
QCoro::Task<> NemotronRecognitionTask::startAfterLoad(std::shared_ptr<State> state,
                                                      QCoro::Task<> load) {
    co_await reportFailure(state, std::move(load));
    if (state->failed) {
        co_return;
    }
    state->ready = true;
    start(state);
    for (const auto& buffer : std::exchange(state->pending, {})) {
        recognize(state, buffer);
    }
    if (state->ended) {
        state->ended = false;
        endAudio(state);
    }
}

void NemotronRecognitionTask::recognize(const std::shared_ptr<State>& state,
                                        const PcmBuffer& buffer) {
    if (!state->ready) {
        state->pending.push_back(buffer);
        return;
    }
    reportFailure(state, state->manager->appendAudio(buffer));
    reportFailure(state, state->manager->processBufferedAudio());
}

void NemotronRecognitionTask::finish() {
    m_state->stopLoad.request_stop();
    postToMainThread([state = m_state] { endAudio(state); });
}

void NemotronRecognitionTask::endAudio(const std::shared_ptr<State>& state) {
    if (std::exchange(state->ended, true) || !state->ready) {
        return;
    }
    reportFailure(state, [](std::shared_ptr<State> state) -> QCoro::Task<> {
        const auto text = co_await state->manager->finish();
        state->handler(text, std::nullopt);
    }(state));
}
