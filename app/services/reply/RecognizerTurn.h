#pragma once

#include <functional>

// The recognizer passed from one reply to the next: a reply queues its operations only once
// the reply before it has queued its last one (its finish), so the executor runs them in reply
// order. Main thread only.
class RecognizerTurn {
public:
    // Runs `next` when this reply's turn is over, at once when it already is.
    void whenOver(std::function<void()> next);
    // This reply queues nothing more on the recognizer.
    void end();

private:
    bool m_over = false;
    std::function<void()> m_next;
};
