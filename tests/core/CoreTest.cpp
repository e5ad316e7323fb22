#include "app/core/Cancellation.h"
#include "app/core/MainThread.h"
#include "app/core/Observable.h"
#include "tests/support/WaitUntil.h"

#include <QSignalSpy>
#include <QTest>
#include <thread>

namespace {

// An observable field as the workflow's types declare one.
class Counter : public QObject {
    Q_OBJECT

public:
    int value() const { return m_value; }
    void set(int value) { assign(this, m_value, value, &Counter::valueChanged); }

signals:
    void valueChanged(int value);

private:
    int m_value = 0;
};

} // namespace

// Cancellation, observable fields and the hop onto the main thread.
class CoreTest : public QObject {
    Q_OBJECT

private slots:
    // Aborts run once, at the cancel; a registration that is gone runs nothing, and one made
    // after the cancel runs at once.
    void cancellationRunsTheAbortsRegisteredAtItsMoment() {
        const Cancellation cancellation;
        int kept = 0;
        int dropped = 0;
        const auto registration = cancellation.onCancel([&kept] { ++kept; });
        {
            const auto gone = cancellation.onCancel([&dropped] { ++dropped; });
        }
        const Cancellation copy = cancellation;
        copy.cancel();
        cancellation.cancel();
        QVERIFY(cancellation.isCancelled());
        QCOMPARE(kept, 1);
        QCOMPARE(dropped, 0);
        int late = 0;
        const auto after = cancellation.onCancel([&late] { ++late; });
        QCOMPARE(late, 1);
    }

    // Every assignment is announced; a distinct subscriber hears the current value and then
    // only changes, until its context is gone.
    void distinctSubscribersHearOnlyChanges() {
        Counter counter;
        QSignalSpy announced(&counter, &Counter::valueChanged);
        auto context = std::make_unique<QObject>();
        QList<int> heard;
        subscribeDistinct(&counter, &Counter::value, &Counter::valueChanged, context.get(),
                          [&heard](int value) { heard << value; });
        counter.set(0);
        counter.set(2);
        counter.set(2);
        context.reset();
        counter.set(3);
        QCOMPARE(announced.count(), 4);
        QCOMPARE(heard, QList<int>({0, 2}));
    }

    // Jobs from another thread run on the main thread in the order they were posted; one
    // whose context is gone does not run.
    void postedJobsRunInOrderOnTheMainThread() {
        QList<int> ran;
        bool offThread = false;
        auto context = std::make_unique<QObject>();
        std::thread poster([&] {
            for (int job = 0; job < 100; ++job)
                postToMainThread([&ran, &offThread, job] {
                    offThread |= QThread::currentThread() != qApp->thread();
                    ran << job;
                });
            postToMainThread([&ran] { ran << -1; }, context.get());
        });
        poster.join();
        context.reset();
        WAIT_COMPARE(ran.size(), 100, "the posted jobs");
        QCoreApplication::processEvents();
        QVERIFY(!offThread);
        QCOMPARE(ran.last(), 99);
        QVERIFY(std::ranges::is_sorted(ran));
    }
};

QTEST_GUILESS_MAIN(CoreTest)
#include "CoreTest.moc"
