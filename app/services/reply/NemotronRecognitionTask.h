#pragma once

#include "app/services/reply/RecognizerTurn.h"
#include "app/services/reply/SharedModelLoad.h"
#include "app/services/reply/SpeechRecognizer.h"

#include <memory>

class StreamingNemotronAsrManager;

// One reply recognised by the streaming recognizer: every block of the request goes into the
// recognizer's intake in order, on the thread that appends it, the running transcript is
// reported after each chunk, and the end of the audio runs `finish`, which decodes what the
// recognizer still buffers, and reports the final text. The work goes on after the handle is
// gone: a reply ended while the model is fetched is recognised once it is there.
class NemotronRecognitionTask : public SpeechRecognitionTask {
public:
    // Call on the main thread. Nothing reaches the recognizer before `previous` is over and
    // `model` is loaded; `turn` is over once this task's finish is queued (or the task failed).
    // A failure of `model` is reported as the task's error.
    NemotronRecognitionTask(std::shared_ptr<StreamingNemotronAsrManager> manager,
                            std::shared_ptr<SharedModelLoad> model,
                            const std::shared_ptr<RecognizerTurn>& previous,
                            std::shared_ptr<RecognizerTurn> turn,
                            const std::shared_ptr<SpeechAudioBufferRequest>& request,
                            SpeechRecognizer::ResultHandler handler);

    void finish() override;

private:
    struct State;
    static QCoro::Task<> beginAfterLoad(std::shared_ptr<State> state);
    static void start(const std::shared_ptr<State>& state);
    static void consumeRequest(const std::shared_ptr<State>& state);
    static SpeechAudioBufferRequest::AudioHandler blockHandler(const std::shared_ptr<State>& state);
    static void processDue(const std::shared_ptr<State>& state);
    static void endAudio(const std::shared_ptr<State>& state);
    static void queueFinish(const std::shared_ptr<State>& state);
    static QCoro::Task<> reportFailure(std::shared_ptr<State> state, QCoro::Task<> operation);

    std::shared_ptr<State> m_state;
};
