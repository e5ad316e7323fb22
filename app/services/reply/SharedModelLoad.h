#pragma once

#include <QObject>
#include <exception>
#include <functional>
#include <memory>
#include <qcoro/qcorotask.h>
#include <stop_token>

// A model's one fetch and load, which every reply waits for: a reply that comes while it runs
// joins it, one that comes after a failure starts it again. Ending a reply does not stop it;
// only `cancel` does. Main thread only.
class SharedModelLoad : public QObject {
    Q_OBJECT

public:
    // Fetches the model when missing and loads it; a stop request ends the fetch.
    using Load = std::function<QCoro::Task<>(std::stop_token)>;

    explicit SharedModelLoad(Load load);

    // Starts the load unless it runs or has succeeded, and returns once it is over; throws
    // what made it fail.
    static QCoro::Task<> ensure(std::shared_ptr<SharedModelLoad> self);
    // Stops a load under way; its waiters get its failure.
    void cancel();
    bool isLoaded() const { return m_state == State::loaded; }

signals:
    void finished();

private:
    enum class State { absent, loading, loaded };
    static QCoro::Task<> run(std::shared_ptr<SharedModelLoad> self);

    Load m_load;
    State m_state = State::absent;
    std::stop_source m_stop{std::nostopstate};
    std::exception_ptr m_failure;
};
