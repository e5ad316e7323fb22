// The caption service's hand-off, processing task and sentence publishing, against a
// scripted recognizer on its own thread. Also built with ThreadSanitizer.

#include "app/services/captions/NemotronCaptionService.h"
#include "tests/services/ScriptedCaptionRecognizer.h"

#include <QDeadlineTimer>
#include <QSignalSpy>
#include <QTest>
#include <thread>

Q_DECLARE_METATYPE(std::optional<double>)
Q_DECLARE_METATYPE(SampleType)
Q_DECLARE_METATYPE(std::vector<float>)

namespace {

// Runs `task` to its end; returns what it threw, if anything.
std::optional<QString> settle(QCoro::Task<> task) {
    std::optional<QString> failure;
    bool done = false;
    auto runner = [](QCoro::Task<> task, std::optional<QString>& failure,
                     bool& done) -> QCoro::Task<> {
        try {
            co_await std::move(task);
        } catch (const std::exception& error) {
            failure = QString::fromUtf8(error.what());
        }
        done = true;
    }(std::move(task), failure, done);
    QDeadlineTimer deadline(60000);
    while (!done && !deadline.hasExpired()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    }
    return done ? failure : QStringLiteral("timed out");
}

// Waits until everything posted to the main thread so far has run.
void drainMainThread() {
    bool drained = false;
    QMetaObject::invokeMethod(
        qApp, [&drained] { drained = true; }, Qt::QueuedConnection);
    QTRY_VERIFY(drained);
}

PcmBuffer mono(std::vector<float> samples) {
    PcmBuffer buffer(PcmFormat{16000, 1, SampleType::float32, false}, int(samples.size()));
    std::ranges::copy(samples, buffer.samples<float>(0).begin());
    return buffer;
}

} // namespace

class CaptionPipelineTest : public QObject {
    Q_OBJECT

private:
    // The service under test and a view of its recognizer, which the service owns.
    struct Fixture {
        ScriptedCaptionRecognizer* recognizer;
        std::unique_ptr<NemotronCaptionService> service;
    };

    static Fixture make(QStringList transcripts = {}) {
        auto recognizer = std::make_unique<ScriptedCaptionRecognizer>(std::move(transcripts));
        auto* view = recognizer.get();
        return {view, std::make_unique<NemotronCaptionService>(std::move(recognizer))};
    }

private slots:
    void publishesSentencesOfTheRunningTranscript_data();
    void publishesSentencesOfTheRunningTranscript();
    void mixesChannelsToMono_data();
    void mixesChannelsToMono();
    void discardsAudioOutsideARun();
    void keepsEveryBlockWhileTheRecognizerIsSlow();
    void secondStartNeitherLoadsNorReportsProgress();
    void failedLoadIsReportedAndTriedAgain();
    void cancelStopsAPreparationUnderWay();
    void failingBlockStopsCaptionsButKeepsListening();
    void nonFiniteSamplesAreHeardAsSilence();
    void partialTextAfterCancelChangesNothing();
};

void CaptionPipelineTest::publishesSentencesOfTheRunningTranscript_data() {
    QTest::addColumn<QStringList>("transcripts");
    QTest::addColumn<QString>("completedSentence");
    QTest::addColumn<QString>("transcript");

    const auto question =
        QStringLiteral("Could you share the updated schedule with the team by Thursday?");
    QTest::newRow("question then unfinished sentence")
        << QStringList{question + " And then we"} << question << "And then we";
    QTest::newRow("ends in a full stop")
        << QStringList{"  We ship on Monday.\n"} << "We ship on Monday."
        << "We ship on Monday.";
    QTest::newRow("quote right after the mark")
        << QStringList{"He said \"wait here.\" Then"} << "He said \"wait here.\""
        << "Then";
    QTest::newRow("quote after a space starts the next run")
        << QStringList{"She left. ” Then"} << "She left."
        << "” Then";
    QTest::newRow("right single quote") << QStringList{"It is ‘done.’"} << "It is ‘done.’"
                                        << "It is ‘done.’";
    QTest::newRow("three exclamation marks")
        << QStringList{"That is great!!! Really"} << "That is great!!!"
        << "Really";
    QTest::newRow("question and exclamation mark")
        << QStringList{"Hello. You did what?! so"} << "You did what?!"
        << "so";
    QTest::newRow("no punctuation keeps the completed sentence")
        << QStringList{"First one.", "and then\nmore words "} << "First one."
        << "and then\nmore words";
    QTest::newRow("blank text changes nothing")
        << QStringList{"Hello there.", " \n\t ", ""} << "Hello there."
        << "Hello there.";
    QTest::newRow("only marks") << QStringList{"...", "?!"} << ""
                                << "";
}

void CaptionPipelineTest::publishesSentencesOfTheRunningTranscript() {
    QFETCH(QStringList, transcripts);
    QFETCH(QString, completedSentence);
    QFETCH(QString, transcript);
    auto [recognizer, service] = make(transcripts);
    QVERIFY(!settle(service->start()));
    QSignalSpy transcriptSpy(service.get(), &INemotronCaptionService::transcriptChanged);

    for (int block = 0; block < transcripts.size(); ++block) {
        service->append(mono({0.1f}));
    }
    QTRY_COMPARE(recognizer->processedBlocks(), transcripts.size());
    drainMainThread();

    QCOMPARE(service->completedSentence(), completedSentence);
    QCOMPARE(service->transcript(), transcript);
    for (const auto& announced : transcriptSpy) {
        QVERIFY(!announced.at(0).toString().isEmpty());
    }
}

void CaptionPipelineTest::mixesChannelsToMono_data() {
    QTest::addColumn<bool>("interleaved");
    QTest::addColumn<int>("channels");
    QTest::addColumn<SampleType>("sampleType");
    QTest::addColumn<std::vector<float>>("expected");

    QTest::newRow("stereo planes 1.0 and 0.0")
        << false << 2 << SampleType::float32 << std::vector<float>{0.5f, 0.5f};
    QTest::newRow("interleaved stereo")
        << true << 2 << SampleType::float32 << std::vector<float>{0.5f, 0.5f};
    QTest::newRow("mono") << false << 1 << SampleType::float32 << std::vector<float>{1.0f, 1.0f};
    QTest::newRow("integer samples are ignored")
        << false << 2 << SampleType::int16 << std::vector<float>{};
    QTest::newRow("no channels are ignored")
        << false << 0 << SampleType::float32 << std::vector<float>{};
}

void CaptionPipelineTest::mixesChannelsToMono() {
    QFETCH(bool, interleaved);
    QFETCH(int, channels);
    QFETCH(SampleType, sampleType);
    QFETCH(std::vector<float>, expected);
    auto [recognizer, service] = make();
    QVERIFY(!settle(service->start()));

    PcmBuffer buffer(PcmFormat{16000, channels, sampleType, interleaved}, 2);
    if (sampleType == SampleType::float32 && channels > 0) {
        // Channel 0 holds 1.0, every other channel 0.0.
        for (int frame = 0; frame < 2; ++frame) {
            if (interleaved) {
                buffer.samples<float>(0)[frame * channels] = 1.0f;
            } else {
                buffer.samples<float>(0)[frame] = 1.0f;
            }
        }
    }
    service->append(buffer);
    service->append(mono({7.0f}));

    expected.push_back(7.0f);
    QTRY_COMPARE(recognizer->receivedSamples(), expected);
}

void CaptionPipelineTest::discardsAudioOutsideARun() {
    auto [recognizer, service] = make();
    service->append(mono({1.0f}));
    QVERIFY(!settle(service->start()));
    service->append(mono({2.0f}));
    QTRY_COMPARE(recognizer->receivedSamples(), std::vector<float>{2.0f});

    QVERIFY(!settle(service->cancel()));
    service->append(mono({3.0f}));
    QVERIFY(!settle(service->start()));
    service->append(mono({4.0f}));
    QTRY_COMPARE(recognizer->receivedSamples(), (std::vector<float>{2.0f, 4.0f}));
}

void CaptionPipelineTest::keepsEveryBlockWhileTheRecognizerIsSlow() {
    constexpr int producers = 3;
    constexpr int blocksEach = 200;
    constexpr int blockSize = 32;
    auto [recognizer, service] = make();
    recognizer->setBlockDelay(std::chrono::microseconds(300));
    QVERIFY(!settle(service->start()));

    // Sample value = producer * 1e6 + sequence number, so order and loss both show.
    std::vector<std::thread> threads;
    for (int producer = 0; producer < producers; ++producer) {
        threads.emplace_back([&service = *service, producer] {
            for (int block = 0; block < blocksEach; ++block) {
                std::vector<float> samples(blockSize);
                for (int i = 0; i < blockSize; ++i) {
                    samples[i] = float(producer * 1000000 + block * blockSize + i);
                }
                service.append(mono(std::move(samples)));
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    QTRY_COMPARE_WITH_TIMEOUT(recognizer->processedBlocks(), producers * blocksEach, 60000);

    std::vector<int> next(producers, 0);
    for (const float value : recognizer->receivedSamples()) {
        const int producer = int(value) / 1000000;
        QCOMPARE(int(value) % 1000000, next[producer]++);
    }
    QCOMPARE(next, std::vector<int>(producers, blocksEach * blockSize));
}

void CaptionPipelineTest::secondStartNeitherLoadsNorReportsProgress() {
    auto [recognizer, service] = make();
    QSignalSpy progress(service.get(), &INemotronCaptionService::modelProgressChanged);
    QVERIFY(!settle(service->start()));
    QCOMPARE(progress.takeFirst().at(0).value<std::optional<double>>(), std::nullopt);
    QCOMPARE(progress.takeFirst().at(0).value<std::optional<double>>(), 0.5);
    QCOMPARE(progress.takeFirst().at(0).value<std::optional<double>>(), 1.0);
    drainMainThread();
    QCOMPARE(service->modelProgress(), std::nullopt);
    progress.clear();

    QVERIFY(!settle(service->start()));
    drainMainThread();
    QCOMPARE(recognizer->loadCount(), 1);
    for (const auto& reported : progress) {
        QCOMPARE(reported.at(0).value<std::optional<double>>(), std::nullopt);
    }
    QVERIFY(service->isListening());
}

void CaptionPipelineTest::failedLoadIsReportedAndTriedAgain() {
    auto [recognizer, service] = make();
    recognizer->failNextLoad(QStringLiteral("The model could not be downloaded."));
    QCOMPARE(settle(service->start()), QStringLiteral("The model could not be downloaded."));
    QCOMPARE(service->recognitionError(), QStringLiteral("The model could not be downloaded."));
    QVERIFY(!service->isPreparing());
    QVERIFY(!service->isListening());
    QCOMPARE(service->modelProgress(), std::nullopt);

    QVERIFY(!settle(service->start()));
    QCOMPARE(recognizer->loadCount(), 2);
    QCOMPARE(service->recognitionError(), std::nullopt);
    QVERIFY(service->isListening());
}

// The download only ends through the stop that `cancel` requests; that is no failure.
void CaptionPipelineTest::cancelStopsAPreparationUnderWay() {
    auto [recognizer, service] = make();
    recognizer->holdNextLoadUntilStopped();
    std::optional<std::optional<QString>> started;
    auto running = [](INemotronCaptionService& service,
                      std::optional<std::optional<QString>>& started) -> QCoro::Task<> {
        try {
            co_await service.start();
            started.emplace(std::nullopt);
        } catch (const std::exception& error) {
            started.emplace(QString::fromUtf8(error.what()));
        }
    }(*service, started);
    QTRY_COMPARE(service->modelProgress(), 0.5);
    QVERIFY(!settle(service->cancel()));
    QTRY_VERIFY(started.has_value());
    QCOMPARE(*started, std::nullopt);
    QVERIFY(!service->isListening());
    QVERIFY(!service->isPreparing());
    QCOMPARE(service->recognitionError(), std::nullopt);

    QVERIFY(!settle(service->start()));
    QCOMPARE(recognizer->loadCount(), 2);
    QVERIFY(service->isListening());
}

void CaptionPipelineTest::failingBlockStopsCaptionsButKeepsListening() {
    auto [recognizer, service] = make({"One.", "Two.", "Three."});
    recognizer->failBlock(1, QStringLiteral("Chunk failed"));
    QVERIFY(!settle(service->start()));
    for (float value : {1.0f, 2.0f, 3.0f}) {
        service->append(mono({value}));
    }
    QTRY_COMPARE(service->recognitionError(), QStringLiteral("Chunk failed"));
    QVERIFY(service->isListening());
    drainMainThread();
    QCOMPARE(recognizer->processedBlocks(), 2);
    QCOMPARE(service->transcript(), QStringLiteral("One."));

    // Cancelling leaves the error for the screens to show.
    QVERIFY(!settle(service->cancel()));
    QCOMPARE(service->recognitionError(), QStringLiteral("Chunk failed"));
    QVERIFY(!service->isListening());
}

void CaptionPipelineTest::nonFiniteSamplesAreHeardAsSilence() {
    auto [recognizer, service] = make();
    QVERIFY(!settle(service->start()));
    service->append(mono({1.0f, std::numeric_limits<float>::quiet_NaN()}));
    service->append(mono({std::numeric_limits<float>::infinity(), 2.0f}));
    service->append(mono({3.0f}));
    QTRY_COMPARE(recognizer->receivedSamples(), (std::vector<float>{1.0f, 0.0f, 0.0f, 2.0f, 3.0f}));
    drainMainThread();
    QCOMPARE(service->recognitionError(), std::nullopt);
    QVERIFY(service->isListening());
}

void CaptionPipelineTest::partialTextAfterCancelChangesNothing() {
    auto [recognizer, service] = make({"Kept sentence."});
    QVERIFY(!settle(service->start()));
    service->append(mono({1.0f}));
    QTRY_COMPARE(service->transcript(), QStringLiteral("Kept sentence."));
    QVERIFY(!settle(service->cancel()));

    QVERIFY(!settle(recognizer->reportPartial(QStringLiteral("Late words. More"))));
    drainMainThread();
    QCOMPARE(service->transcript(), QStringLiteral("Kept sentence."));
    QCOMPARE(service->completedSentence(), QStringLiteral("Kept sentence."));
}

QTEST_GUILESS_MAIN(CaptionPipelineTest)
#include "CaptionPipelineTest.moc"
