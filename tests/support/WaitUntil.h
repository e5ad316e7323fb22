#pragma once

#include <QTest>

// How long a test waits for something that takes milliseconds on an idle machine: generous
// enough that only a fault, never load, runs it out.
inline constexpr int waitDeadlineMs = 60'000;

// Fails the test unless `condition` comes true before the deadline, naming what was awaited.
#define WAIT_UNTIL(condition, what)                                                                \
    QVERIFY2(QTest::qWaitFor([&] { return bool(condition); }, waitDeadlineMs),                     \
             "Timed out waiting for " what)

// As WAIT_UNTIL for `actual == expected`; on failure both values are shown too.
#define WAIT_COMPARE(actual, expected, what)                                                       \
    do {                                                                                           \
        if (!QTest::qWaitFor([&] { return bool((actual) == (expected)); }, waitDeadlineMs))        \
            qWarning("Timed out waiting for %s", what);                                            \
        QCOMPARE(actual, expected);                                                                \
    } while (false)
