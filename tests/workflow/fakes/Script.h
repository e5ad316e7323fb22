#pragma once

#include "app/core/Cancellation.h"
#include "app/core/ServiceError.h"

#include <QList>
#include <QObject>
#include <QString>
#include <memory>
#include <optional>
#include <qcoro/qcorosignal.h>
#include <qcoro/qcorotask.h>
#include <utility>

// Holds a scripted call until the test opens it, so interleavings can be chosen.
class Gate : public QObject {
    Q_OBJECT

public:
    void open() {
        if (!std::exchange(m_open, true))
            emit opened();
    }
    QCoro::Task<> wait() {
        if (!m_open)
            co_await qCoro(this, &Gate::opened);
    }

signals:
    void opened();

private:
    bool m_open = false;
};

// The scripted outcomes of one fake operation, used in call order: a value, a failure or the
// fake's own default value, each either at once or when its gate opens. Calls beyond the script
// get the default value at once.
template <typename T> class Script {
public:
    void answer(T value) { m_steps.append({std::move(value), {}, nullptr}); }
    void fail(QString description) { m_steps.append({{}, std::move(description), nullptr}); }
    // Holds the next call until the gate opens; it then gets the default value.
    std::shared_ptr<Gate> hold() { return gated({}); }
    std::shared_ptr<Gate> answerWhenOpened(T value) { return gated(std::move(value)); }
    std::shared_ptr<Gate> failWhenOpened(QString description) {
        auto gate = gated({});
        m_steps.last().failure = std::move(description);
        return gate;
    }

    // A cancelled call stops waiting and fails, as a request aborted by its task does.
    QCoro::Task<T> next(T fallback, Cancellation cancellation = {}) {
        Step step = m_steps.isEmpty() ? Step{} : m_steps.takeFirst();
        if (step.gate) {
            const auto registration = cancellation.onCancel([gate = step.gate] { gate->open(); });
            co_await step.gate->wait();
        }
        if (cancellation.isCancelled())
            throw ServiceError(QStringLiteral("cancelled"));
        if (step.failure)
            throw ServiceError(*step.failure);
        co_return step.value ? std::move(*step.value) : std::move(fallback);
    }

private:
    struct Step {
        std::optional<T> value;
        std::optional<QString> failure;
        std::shared_ptr<Gate> gate;
    };
    std::shared_ptr<Gate> gated(std::optional<T> value) {
        auto gate = std::make_shared<Gate>();
        m_steps.append({std::move(value), {}, gate});
        return gate;
    }
    QList<Step> m_steps;
};
