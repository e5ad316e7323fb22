#pragma once

// A running recognition of one request.
class SpeechRecognitionTask {
public:
    virtual ~SpeechRecognitionTask() = default;
    // Stops taking audio and delivers the final result of what was heard (not a cancel).
    virtual void finish() = 0;
};
