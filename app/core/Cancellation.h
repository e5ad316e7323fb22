#pragma once

#include <functional>
#include <map>
#include <memory>

// A cancellable task handle: a shared flag that the task checks after every
// await, plus abort actions (for example aborting an in-flight network reply)
// run at the moment of cancellation. Used on one thread only.
class Cancellation {
public:
    Cancellation();

    void cancel() const;
    bool isCancelled() const;

    // Runs `abort` when cancelled (at once if already cancelled), until the
    // returned registration is destroyed.
    class Registration;
    [[nodiscard]] Registration onCancel(std::function<void()> abort) const;

private:
    struct State {
        bool cancelled = false;
        int nextID = 0;
        std::map<int, std::function<void()>> aborts;
    };
    std::shared_ptr<State> m_state;
};

class Cancellation::Registration {
public:
    Registration() = default;
    Registration(std::weak_ptr<State> state, int id) : m_state(std::move(state)), m_id(id) {}
    Registration(Registration&& other) noexcept { *this = std::move(other); }
    Registration& operator=(Registration&& other) noexcept;
    ~Registration() { release(); }

private:
    void release();
    std::weak_ptr<State> m_state;
    int m_id = -1;
};
