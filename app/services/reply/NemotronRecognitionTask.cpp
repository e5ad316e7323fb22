#include "app/services/reply/NemotronRecognitionTask.h"

#include "app/core/MainThread.h"
#include "app/core/ServiceError.h"
#include "speech-engine/streaming/StreamingNemotronAsrManager.h"

#include <utility>

// Touched only on the main thread.
struct NemotronRecognitionTask::State {
    std::shared_ptr<StreamingNemotronAsrManager> manager;
    SpeechRecognizer::ResultHandler handler;
    std::shared_ptr<SharedModelLoad> model;
    std::shared_ptr<RecognizerTurn> turn;
    // Consumed once the reply's turn begins: until then its blocks wait in it.
    std::shared_ptr<SpeechAudioBufferRequest> request;
    // Until the previous reply is over and the model is loaded, the end of the audio is only
    // noted.
    bool ready = false;
    bool ended = false;
    bool failed = false;
};

namespace {

// The engine's own errors are in English: the reply step says in Korean what happened.
QString recognizerFailure(const QString& cause) {
    return QStringLiteral("한국어 음성 인식 중 오류가 발생해 답변 녹음을 멈췄습니다. 다시 말해 "
                          "주세요. (원인: %1)")
        .arg(cause);
}

// A task that fails as `error` did, to report a failure of another thread like the others.
QCoro::Task<> failedWith(std::exception_ptr error) {
    std::rethrow_exception(error);
    co_return;
}

} // namespace

// Reports the first failure of the task; the ones that follow from it add nothing. A failed
// model load is already described for the user.
QCoro::Task<> NemotronRecognitionTask::reportFailure(std::shared_ptr<State> state,
                                                     QCoro::Task<> operation) {
    std::optional<QString> failure;
    try {
        co_await std::move(operation);
    } catch (const ServiceError& error) {
        failure = error.description();
    } catch (const std::exception& error) {
        failure = recognizerFailure(describe(error));
    }
    if (failure && !std::exchange(state->failed, true)) {
        state->handler({.text = {}, .error = failure, .isFinal = true});
    }
}

NemotronRecognitionTask::NemotronRecognitionTask(
    std::shared_ptr<StreamingNemotronAsrManager> manager, std::shared_ptr<SharedModelLoad> model,
    const std::shared_ptr<RecognizerTurn>& previous, std::shared_ptr<RecognizerTurn> turn,
    const std::shared_ptr<SpeechAudioBufferRequest>& request,
    SpeechRecognizer::ResultHandler handler)
    : m_state(std::make_shared<State>(State{std::move(manager), std::move(handler),
                                            std::move(model), std::move(turn), request})) {
    previous->whenOver([state = m_state] { beginAfterLoad(state); });
}

// The recognizer counts the samples appended before a `reset` or `finish` as the signal it
// ends: the request is consumed only after this reply's reset is queued, and ended before its
// finish is, so no block reaches another reply's signal. The handlers run on the microphone's
// thread with the request locked; the request holds the state weakly.
void NemotronRecognitionTask::consumeRequest(const std::shared_ptr<State>& state) {
    const std::weak_ptr weak(state);
    state->request->consume(blockHandler(state), [weak] {
        postToMainThread([weak] {
            if (const auto state = weak.lock()) {
                endAudio(state);
            }
        });
    });
}

// Blocks go straight into the recognizer's intake. The recognizer is driven from the main
// thread: a block that completes a chunk asks it there to process, and a block it cannot take
// fails the reply there.
SpeechAudioBufferRequest::AudioHandler
NemotronRecognitionTask::blockHandler(const std::shared_ptr<State>& state) {
    return [manager = state->manager, weak = std::weak_ptr(state)](const PcmBuffer& buffer) {
        try {
            if (manager->takeIn(buffer)) {
                postToMainThread([weak] { processDue(weak.lock()); });
            }
        } catch (const std::exception&) {
            postToMainThread([weak, error = std::current_exception()] {
                if (const auto state = weak.lock()) {
                    reportFailure(state, failedWith(error));
                }
            });
        }
    };
}

// A download can take minutes: the reply's blocks wait for the model instead of reaching a
// recognizer without one. With the model loaded the task starts at once.
QCoro::Task<> NemotronRecognitionTask::beginAfterLoad(std::shared_ptr<State> state) {
    co_await reportFailure(state, SharedModelLoad::ensure(state->model));
    if (state->failed) {
        state->turn->end();
        co_return;
    }
    start(state);
}

void NemotronRecognitionTask::start(const std::shared_ptr<State>& state) {
    state->ready = true;
    reportFailure(state, state->manager->reset());
    reportFailure(
        state, state->manager->setPartialCallback([handler = state->handler](const QString& text) {
            handler({.text = text, .error = {}, .isFinal = false});
        }));
    consumeRequest(state);
    if (state->ended) {
        queueFinish(state);
    }
}

// Once the audio has ended the finish processes what is left.
void NemotronRecognitionTask::processDue(const std::shared_ptr<State>& state) {
    if (state && !state->ended) {
        reportFailure(state, state->manager->processBufferedAudio());
    }
}

void NemotronRecognitionTask::finish() {
    postToMainThread([state = m_state] { endAudio(state); });
}

void NemotronRecognitionTask::endAudio(const std::shared_ptr<State>& state) {
    state->request->endAudio();
    if (!std::exchange(state->ended, true) && state->ready) {
        queueFinish(state);
    }
}

// The finish is queued before the turn passes on: the next reply's reset cannot overtake it.
void NemotronRecognitionTask::queueFinish(const std::shared_ptr<State>& state) {
    reportFailure(state, [](std::shared_ptr<State> state) -> QCoro::Task<> {
        const auto text = co_await state->manager->finish();
        if (!state->failed) {
            state->handler({.text = text, .error = {}, .isFinal = true});
        }
    }(state));
    state->turn->end();
}
