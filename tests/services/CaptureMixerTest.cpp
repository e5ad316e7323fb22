#include "app/services/audio/CaptureMixer.h"

#include <QTest>

using Samples = std::vector<float>;

class CaptureMixerTest : public QObject {
    Q_OBJECT

private slots:
    // One stream alone passes through at once.
    void sumsStreamsWhenBothHaveSound() {
        CaptureMixer mixer(100);
        QCOMPARE(mixer.add(1, Samples{0.5f, 0.5f}), (Samples{0.5f, 0.5f}));
        QVERIFY(mixer.add(2, Samples{0.25f}).empty());
        QCOMPARE(mixer.add(1, Samples{0.5f, 0.5f}), (Samples{0.75f}));
        QCOMPARE(mixer.add(2, Samples{0.25f, 0.25f}), (Samples{0.75f}));
    }

    void aSilentStreamHoldsTheOthersBackOnlyUpToTheLimit() {
        CaptureMixer mixer(4);
        mixer.add(1, Samples{1.0f});
        QVERIFY(mixer.add(2, Samples{1.0f}).empty());
        QCOMPARE(mixer.add(1, Samples{1.0f}), (Samples{2.0f}));
        QVERIFY(mixer.add(1, Samples{1.0f, 1.0f, 1.0f}).empty());
        QCOMPARE(mixer.add(1, Samples{1.0f}), (Samples{1.0f, 1.0f, 1.0f, 1.0f}));
    }

    void anEndedStreamIsFlushedAndNoLongerWaitedFor() {
        CaptureMixer mixer(100);
        mixer.add(1, Samples{1.0f});
        QVERIFY(mixer.add(2, Samples{1.0f, 1.0f, 1.0f}).empty());
        QCOMPARE(mixer.end(2), (Samples{1.0f, 1.0f, 1.0f}));
        QCOMPARE(mixer.add(1, Samples{0.5f}), (Samples{0.5f}));
        QVERIFY(mixer.end(7).empty());
    }
};

QTEST_APPLESS_MAIN(CaptureMixerTest)
#include "CaptureMixerTest.moc"
