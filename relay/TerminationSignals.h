#pragma once

#include <QObject>
#include <QSocketNotifier>
#include <memory>

// SIGTERM and SIGINT as a Qt signal, so the relay can stop between events
// instead of inside a signal handler. Make it before any thread starts: the
// two signals are blocked for the process and read from a descriptor.
class TerminationSignals : public QObject {
    Q_OBJECT

public:
    TerminationSignals();
    ~TerminationSignals() override;

signals:
    void received();

private:
    void readSignal();

    int m_descriptor = -1;
    std::unique_ptr<QSocketNotifier> m_notifier;
};
