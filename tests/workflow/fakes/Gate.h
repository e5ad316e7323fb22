#pragma once

#include <QObject>
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
    // Returns once the gate is open.
    QCoro::Task<> wait() {
        if (!m_open)
            co_await qCoro(this, &Gate::opened);
    }

signals:
    void opened();

private:
    bool m_open = false;
};
