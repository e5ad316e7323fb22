#include "relay/RateLimiter.h"

#include <QTest>

using namespace std::chrono_literals;

class RateLimiterTest : public QObject {
    Q_OBJECT

private slots:
    // Each step: a client asks at a moment (seconds after the start) and is
    // admitted or not. Burst 2, one request a second after that.
    void admit_data() {
        QTest::addColumn<QStringList>("clients");
        QTest::addColumn<QList<double>>("seconds");
        QTest::addColumn<QList<bool>>("admitted");

        QTest::newRow("burst, then empty")
            << QStringList{"192.0.2.1", "192.0.2.1", "192.0.2.1"} << QList<double>{0, 0, 0}
            << QList<bool>{true, true, false};
        QTest::newRow("refills at the rate")
            << QStringList{"192.0.2.1", "192.0.2.1", "192.0.2.1", "192.0.2.1"}
            << QList<double>{0, 0, 0.5, 1.0} << QList<bool>{true, true, false, true};
        QTest::newRow("never above the burst")
            << QStringList{"192.0.2.1", "192.0.2.1", "192.0.2.1", "192.0.2.1"}
            << QList<double>{0, 100, 100, 100} << QList<bool>{true, true, true, false};
        QTest::newRow("clients apart")
            << QStringList{"192.0.2.1", "192.0.2.1", "192.0.2.2", "192.0.2.1"}
            << QList<double>{0, 0, 0, 0} << QList<bool>{true, true, true, false};
        QTest::newRow("one IPv6 /64 is one client")
            << QStringList{"2001:db8::1", "2001:db8::ffff:2", "2001:db8::3"}
            << QList<double>{0, 0, 0} << QList<bool>{true, true, false};
        QTest::newRow("IPv6 /64 networks apart")
            << QStringList{"2001:db8::1", "2001:db8::2", "2001:db8:0:1::1"}
            << QList<double>{0, 0, 0} << QList<bool>{true, true, true};
    }

    void admit() {
        QFETCH(QStringList, clients);
        QFETCH(QList<double>, seconds);
        QFETCH(QList<bool>, admitted);

        RateLimiter limiter(2, 60);
        const auto start = RateLimiter::Clock::now();
        for (qsizetype i = 0; i < clients.size(); ++i) {
            const auto at = start + std::chrono::duration_cast<RateLimiter::Clock::duration>(
                                        std::chrono::duration<double>(seconds[i]));
            QVERIFY2(limiter.admit(QHostAddress(clients[i]), at) == admitted[i],
                     qPrintable(QStringLiteral("step %1").arg(i)));
        }
    }
};

QTEST_APPLESS_MAIN(RateLimiterTest)
#include "RateLimiterTest.moc"
