#include "app/services/audio/CaptureMixer.h"

#include <QTest>

using Samples = std::vector<float>;

class CaptureMixerTest : public QObject {
    Q_OBJECT

private slots:
    // Streams are summed when both have sound, one alone passes at once; a silent one holds the
    // others back only up to the limit; an ended one is flushed and no longer waited for.
    void mixesStreams() {
        CaptureMixer mixer(100);
        QCOMPARE(mixer.add(1, Samples{0.5f, 0.5f}), (Samples{0.5f, 0.5f}));
        QVERIFY(mixer.add(2, Samples{0.25f}).empty());
        QCOMPARE(mixer.add(1, Samples{0.5f, 0.5f}), (Samples{0.75f}));
        QCOMPARE(mixer.add(2, Samples{0.25f, 0.25f}), (Samples{0.75f}));

        CaptureMixer limited(4);
        limited.add(1, Samples{1.0f});
        QVERIFY(limited.add(2, Samples{1.0f}).empty());
        QCOMPARE(limited.add(1, Samples{1.0f}), (Samples{2.0f}));
        QVERIFY(limited.add(1, Samples{1.0f, 1.0f, 1.0f}).empty());
        QCOMPARE(limited.add(1, Samples{1.0f}), (Samples{1.0f, 1.0f, 1.0f, 1.0f}));

        CaptureMixer ending(100);
        ending.add(1, Samples{1.0f});
        QVERIFY(ending.add(2, Samples{1.0f, 1.0f, 1.0f}).empty());
        QCOMPARE(ending.end(2), (Samples{1.0f, 1.0f, 1.0f}));
        QCOMPARE(ending.add(1, Samples{0.5f}), (Samples{0.5f}));
        QVERIFY(ending.end(7).empty());
    }
};

QTEST_APPLESS_MAIN(CaptureMixerTest)
#include "CaptureMixerTest.moc"
