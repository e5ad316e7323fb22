#pragma once

#include <QObject>
#include <qcoro/qcorotask.h>

// Holds a scripted call until the test opens it, so interleavings can be chosen.
class Gate : public QObject {
    Q_OBJECT

public:
    void open();
    // Returns once the gate is open.
    QCoro::Task<> wait();

signals:
    void opened();

private:
    bool m_open = false;
};
