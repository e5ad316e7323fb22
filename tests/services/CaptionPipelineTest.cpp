// The caption service's hand-off, processing task and sentence publishing, against a
// scripted recognizer on its own thread. Also built with ThreadSanitizer.

#include "app/core/MainThread.h"
#include "app/services/captions/NemotronCaptionService.h"
#include "tests/services/ScriptedCaptionRecognizer.h"
#include "tests/support/RunToCompletion.h"
#include "tests/support/WaitUntil.h"

#include <QSignalSpy>
#include <QTest>
#include <algorithm>
#include <thread>

namespace {

// Waits until everything posted to the main thread so far has run.
void drainMainThread() {
    bool drained = false;
    postToMainThread([&drained] { drained = true; });
    WAIT_UNTIL(drained, "the main thread to run what was posted to it");
}

PcmBuffer mono(std::vector<float> samples) {
    PcmBuffer buffer(PcmFormat{16000, 1, SampleType::float32, false}, int(samples.size()));
    std::ranges::copy(samples, buffer.samples<float>(0).begin());
    return buffer;
}

} // namespace

class CaptionPipelineTest : public QObject {
    Q_OBJECT

    // A view of the recognizer, which the service owns.
    ScriptedCaptionRecognizer* m_recognizer = nullptr;
    std::unique_ptr<NemotronCaptionService> m_service;

    std::vector<float> received() const { return m_recognizer->record().samples; }

    void make(QStringList transcripts = {}) {
        m_service.reset();
        auto recognizer = std::make_unique<ScriptedCaptionRecognizer>(std::move(transcripts));
        m_recognizer = recognizer.get();
        m_service = std::make_unique<NemotronCaptionService>(std::move(recognizer));
    }

private slots:
    void cleanup() { m_service.reset(); }

    void publishesSentencesOfTheRunningTranscript_data() {
        QTest::addColumn<QStringList>("transcripts");
        QTest::addColumn<QString>("completedSentence");
        QTest::addColumn<QString>("transcript");
        const QString question = "Could you share the updated schedule with the team by Thursday?";
        QTest::newRow("question then unfinished sentence")
            << QStringList{question + " And then we"} << question << "And then we";
        QTest::newRow("quote right after the marks")
            << QStringList{"Hi. He said \"what?!\" Then"} << "He said \"what?!\""
            << "Then";
        QTest::newRow("no punctuation keeps the completed sentence")
            << QStringList{"First one.", "and then\nmore words "} << "First one."
            << "and then\nmore words";
        QTest::newRow("blank text changes nothing")
            << QStringList{"Hello there.", " \n\t ", ""} << "Hello there."
            << "Hello there.";
    }

    void publishesSentencesOfTheRunningTranscript() {
        QFETCH(QStringList, transcripts);
        QFETCH(QString, completedSentence);
        QFETCH(QString, transcript);
        make(transcripts);
        QCOMPARE(taskFailure(m_service->start()), QString());
        QSignalSpy announced(m_service.get(), &INemotronCaptionService::transcriptChanged);
        for (qsizetype block = 0; block < transcripts.size(); ++block)
            m_service->append(mono({0.1f}));
        WAIT_COMPARE(m_recognizer->record().blocks, transcripts.size(), "every block processed");
        drainMainThread();
        QCOMPARE(m_service->completedSentence(), completedSentence);
        QCOMPARE(m_service->transcript(), transcript);
        for (const auto& signal : announced)
            QVERIFY(!signal.at(0).toString().isEmpty());
    }

    // Each run starts from a reset recognizer; audio and late text outside a run change nothing;
    // non-finite samples are heard as silence, without an error.
    void passesOnlyTheAudioOfARunAndSilencesNonFiniteSamples() {
        constexpr float nan = std::numeric_limits<float>::quiet_NaN();
        constexpr float infinity = std::numeric_limits<float>::infinity();
        make({"Kept sentence."});
        m_service->append(mono({1.0f}));
        QCOMPARE(taskFailure(m_service->start()), QString());
        m_service->append(mono({2.0f, nan}));
        WAIT_COMPARE(m_service->transcript(), QStringLiteral("Kept sentence."),
                     "the transcript of the run");
        QCOMPARE(taskFailure(m_service->cancel()), QString());
        QCOMPARE(taskFailure(m_recognizer->reportPartial("Late words. More")), QString());
        drainMainThread();
        QCOMPARE(m_service->transcript(), QStringLiteral("Kept sentence."));
        m_service->append(mono({3.0f}));
        const int resets = m_recognizer->record().resets;
        QCOMPARE(taskFailure(m_service->start()), QString());
        QVERIFY(m_recognizer->record().resets > resets);
        m_service->append(mono({infinity, 4.0f}));
        WAIT_COMPARE(received(), (std::vector<float>{2.0f, 0.0f, 0.0f, 4.0f}),
                     "the samples of both runs");
        drainMainThread();
        QVERIFY(!m_service->recognitionError() && m_service->isListening());
    }

    void keepsEveryBlockWhileTheRecognizerIsSlow() {
        constexpr int producers = 3, blocksEach = 200, blockSize = 32;
        make();
        m_recognizer->script.blockDelay = std::chrono::microseconds(300);
        QCOMPARE(taskFailure(m_service->start()), QString());
        // Sample value = producer * 1e6 + sequence number, so order and loss both show.
        std::vector<std::thread> threads;
        for (int producer = 0; producer < producers; ++producer) {
            threads.emplace_back([&service = *m_service, producer] {
                for (int block = 0; block < blocksEach; ++block) {
                    std::vector<float> samples(blockSize);
                    for (int i = 0; i < blockSize; ++i)
                        samples[i] = float(producer * 1000000 + block * blockSize + i);
                    service.append(mono(std::move(samples)));
                }
            });
        }
        for (auto& thread : threads)
            thread.join();
        QTRY_COMPARE_WITH_TIMEOUT(m_recognizer->record().blocks, producers * blocksEach, 120000);
        std::vector<int> next(producers, 0);
        for (const float value : received()) {
            const int producer = int(value) / 1000000;
            QCOMPARE(int(value) % 1000000, next[producer]++);
        }
        QCOMPARE(next, std::vector<int>(producers, blocksEach * blockSize));
    }

    // Audio waiting for a recognizer that fell behind is measured; beyond twenty seconds the
    // oldest is skipped and told, so the recognizer goes on with the live audio.
    void measuresTheBacklogAndSkipsToLiveAudioBeyondTwentySeconds() {
        constexpr int halfSecond = 8000;
        make();
        m_recognizer->script.holdBlocks = true;
        QCOMPARE(taskFailure(m_service->start()), QString());
        // Each half second of audio holds its own index, so what was skipped shows.
        const auto append = [this](int first, int count) {
            for (int block = first; block < first + count; ++block)
                m_service->append(mono(std::vector<float>(halfSecond, float(block))));
        };
        append(0, 7);
        WAIT_COMPARE(m_service->lagSeconds(), 3, "the lag to be shown");
        QCOMPARE(m_service->skippedSeconds(), 0);
        // Block 0 is inside the recognizer; with block 41, 20.5 s wait behind it, and all but
        // block 41 go.
        append(7, 36);
        WAIT_COMPARE(m_service->skippedSeconds(), 20, "the oldest audio to be skipped");
        WAIT_COMPARE(m_service->lagSeconds(), 1, "the lag after the skip");
        m_recognizer->releaseBlocks();
        WAIT_COMPARE(m_recognizer->record().blocks, 3, "the recognizer to take three blocks");
        std::vector<float> heard = received();
        heard.erase(std::unique(heard.begin(), heard.end()), heard.end());
        QCOMPARE(heard, (std::vector<float>{0.0f, 41.0f, 42.0f}));
        WAIT_COMPARE(m_service->lagSeconds(), 0, "the captions to be live again");

        // A new run starts without the old run's skip; an ended run shows no lag.
        QCOMPARE(taskFailure(m_service->start()), QString());
        QCOMPARE(m_service->skippedSeconds(), 0);
        append(0, 5);
        WAIT_COMPARE(m_recognizer->record().blocks, 8, "the recognizer to take every block");
        QCOMPARE(taskFailure(m_service->cancel()), QString());
        QCOMPARE(m_service->lagSeconds(), 0);
    }

    // A failed load is reported and tried again; a download under way ends, without a failure,
    // through the stop that `cancel` requests; once loaded, a start does not load again.
    void loadsOnceAndRetriesAFailedOrCancelledLoad() {
        const auto failure = "The model could not be downloaded.";
        make();
        m_recognizer->script.loadFailure = failure;
        QCOMPARE(taskFailure(m_service->start()), failure);
        QVERIFY(m_service->recognitionError() == failure && !m_service->isListening());
        m_recognizer->script.holdLoad = true;
        std::optional<QString> started;
        auto running = m_service->start().then(
            [&] { started = QString(); },
            [&](const std::exception& error) { started = QString::fromUtf8(error.what()); });
        WAIT_COMPARE(m_service->modelProgress(), 0.5, "the held load's progress");
        QCOMPARE(taskFailure(m_service->cancel()), QString());
        WAIT_UNTIL(started == QString(), "the cancelled start to end without a failure");
        QVERIFY(!m_service->isPreparing() && !m_service->recognitionError());
        QCOMPARE(taskFailure(m_service->start()), QString());
        QCOMPARE(taskFailure(m_service->start()), QString());
        drainMainThread();
        QCOMPARE(m_recognizer->record().loads, 3);
        QCOMPARE(m_service->modelProgress(), std::nullopt);
        QVERIFY(m_service->isListening());
    }

    // The model fetched ahead of the first start shows as preparing and is loaded once: the
    // start that follows neither loads it again nor waits, and a second preparation does
    // nothing.
    void modelPreparedAheadIsLoadedOnce() {
        make();
        QVERIFY(!m_service->hasModel());
        QSignalSpy preparing(m_service.get(), &INemotronCaptionService::isPreparingChanged);
        QCOMPARE(taskFailure(m_service->prepareModel()), QString());
        QCOMPARE(preparing.count(), 2);
        QVERIFY(m_service->hasModel() && !m_service->isPreparing() && !m_service->isListening());
        QCOMPARE(m_service->modelProgress(), std::nullopt);
        QCOMPARE(taskFailure(m_service->prepareModel()), QString());
        QCOMPARE(taskFailure(m_service->start()), QString());
        QCOMPARE(m_recognizer->record().loads, 1);
        QVERIFY(m_service->isListening());
    }

    void failingBlockStopsCaptionsButKeepsListening() {
        make({"One.", "Two.", "Three."});
        m_recognizer->script.blockFailure = {1, "Chunk failed"};
        QCOMPARE(taskFailure(m_service->start()), QString());
        for (float value : {1.0f, 2.0f, 3.0f})
            m_service->append(mono({value}));
        WAIT_COMPARE(m_service->recognitionError(), QStringLiteral("Chunk failed"),
                     "the failed block's error");
        QVERIFY(m_service->isListening());
        drainMainThread();
        QCOMPARE(m_service->transcript(), QStringLiteral("One."));

        // Cancelling leaves the error for the screens to show.
        QCOMPARE(taskFailure(m_service->cancel()), QString());
        QCOMPARE(m_service->recognitionError(), QStringLiteral("Chunk failed"));
    }
};

QTEST_GUILESS_MAIN(CaptionPipelineTest)
#include "CaptionPipelineTest.moc"
