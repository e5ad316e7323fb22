#pragma once

#include <QCoreApplication>
#include <QObject>
#include <utility>

// Runs `job` later on the main thread's event loop, from any thread; jobs posted from one
// thread run in the order they were posted. A `context` (an object living on the main thread)
// drops the job when it is gone by then.
template <typename Job>
void postToMainThread(Job job, QObject* context = QCoreApplication::instance()) {
    QMetaObject::invokeMethod(context, std::move(job), Qt::QueuedConnection);
}
