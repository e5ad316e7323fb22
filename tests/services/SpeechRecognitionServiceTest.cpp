// The Korean reply recogniser with tiny Korean models: scripted audio straight into the
// recognizer, and the service's failures on a private sound server.

#include "app/services/reply/SpeechRecognitionService.h"
#include "app/core/MainThread.h"
#include "app/core/ServiceError.h"
#include "app/services/reply/NemotronSpeechRecognizer.h"
#include "speech-engine/hub/NemotronModelDownloader.h"
#include "tests/services/AudioTestSupport.h"
#include "tests/services/CaptionTestModels.h"
#include "tests/speech-engine/hub/FakeModelHub.h"
#include "tests/support/ScopedEnvironment.h"
#include "tests/support/WriteFile.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <QtEndian>
#include <algorithm>
#include <thread>

namespace {

const QString ko = QStringLiteral("ko-KR");

QString koreanFolder(const QString& modelsRoot) {
    return NemotronModelDownloader::modelFolder(HubModel::korean(), modelsRoot);
}

// The start of a chunk spelling `token`: shorter than a chunk, so only the end of the audio
// decodes it.
PcmBuffer shortPiece(int token) {
    PcmBuffer piece = TinyModels::monoSamples(3000);
    std::copy_n(TinyModels::chunkEmitting({token}).samples<float>(0).begin(), 3000,
                piece.samples<float>(0).begin());
    return piece;
}

QByteArray fixture(const QString& name) {
    QFile file(QStringLiteral(RELAYO_SOURCE_DIR "/../shared/fixtures/nemo/") + name);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// The fixtures' 16 kHz mono PCM-16 speech-like signal, as the recognizer takes it.
PcmBuffer fixtureSpeech() {
    const QByteArray wav = fixture(QStringLiteral("input.wav"));
    const qsizetype data = wav.indexOf("data") + 8;
    const int frames = int((wav.size() - data) / 2);
    PcmBuffer buffer({16000, 1, SampleType::float32, false}, frames);
    auto samples = buffer.samples<float>(0);
    for (int i = 0; i < frames; ++i)
        samples[i] = float(qFromLittleEndian<qint16>(wav.constData() + data + 2 * i)) / 32768.0f;
    return buffer;
}

// What the recognizer reported for one reply, in order.
struct Heard {
    QStringList partials;
    std::optional<QString> final;
    bool failed = false;
};

SpeechRecognizer::ResultHandler hear(Heard& heard) {
    return [&heard](SpeechRecognizer::Result result) {
        postToMainThread([&heard, result] {
            const QString said = result.error.value_or(result.text.value_or(QString()));
            if (result.isFinal) {
                heard.final = said;
                heard.failed = result.error.has_value();
            } else {
                heard.partials << said;
            }
        });
    };
}

std::unique_ptr<SpeechRecognitionTask> recognise(SpeechRecognizer& recognizer,
                                                 const QList<PcmBuffer>& audio, Heard& heard) {
    auto request = std::make_shared<SpeechAudioBufferRequest>(SpeechAudioBufferRequest::Settings{});
    auto task = recognizer.recognitionTask(request, hear(heard));
    for (const auto& buffer : audio)
        request->appendAudioPCMBuffer(buffer);
    request->endAudio();
    task->finish();
    return task;
}

} // namespace

class SpeechRecognitionServiceTest : public QObject {
    Q_OBJECT

private slots:
    // Words only the end decodes are in the final text, a reply shorter than a chunk is heard,
    // and a reply started right after another neither wipes nor mixes with its ending.
    void repliesEndWholeAndInOrder() {
        QTemporaryDir root;
        CaptionTestModels::writeSpelling(
            koreanFolder(root.path()),
            {QStringLiteral("▁하나"), QStringLiteral("▁둘"), QStringLiteral("▁셋")});
        NemotronSpeechRecognizer recognizer(root.path());
        Heard first, second;
        const auto firstTask =
            recognise(recognizer, {TinyModels::chunkEmitting({0}), shortPiece(1)}, first);
        const auto secondTask = recognise(recognizer, {shortPiece(2)}, second);
        QTRY_VERIFY_WITH_TIMEOUT(first.final && second.final, 30000);
        QCOMPARE(QStringList({*first.final, *second.final}), QStringList({"하나 둘", "셋"}));
        QCOMPARE(first.partials.first(), QStringLiteral("하나"));
        QVERIFY(!second.partials.join(' ').contains(QStringLiteral("하나")));
    }

    // Blocks come from other threads, as the microphone's do, while the first reply is still
    // waiting for the model and while it ends: each reply hears its own blocks, in order.
    void blocksFromAnotherThreadStayWithTheirReplyInOrder() {
        QTemporaryDir root;
        const QStringList words = {"▁영", "▁일", "▁이", "▁삼", "▁사", "▁오", "▁육", "▁칠"};
        CaptionTestModels::writeSpelling(koreanFolder(root.path()), words);
        NemotronSpeechRecognizer recognizer(root.path());
        const auto speak = [](SpeechAudioBufferRequest& request, int first, int last) {
            return std::thread([&request, first, last] {
                for (int token = first; token <= last; ++token)
                    request.appendAudioPCMBuffer(TinyModels::chunkEmitting({token}));
            });
        };
        using Request = SpeechAudioBufferRequest;
        const auto firstRequest = std::make_shared<Request>(Request::Settings{});
        const auto secondRequest = std::make_shared<Request>(Request::Settings{});
        Heard first, second;
        const auto firstTask = recognizer.recognitionTask(firstRequest, hear(first));
        auto firstSpeaker = speak(*firstRequest, 0, 4);
        const auto secondTask = recognizer.recognitionTask(secondRequest, hear(second));
        auto secondSpeaker = speak(*secondRequest, 5, 7);
        firstSpeaker.join();
        firstTask->finish();
        secondSpeaker.join();
        secondTask->finish();
        QTRY_VERIFY_WITH_TIMEOUT(first.final && second.final, 30000);
        QCOMPARE(QStringList({*first.final, *second.final}),
                 QStringList({"영 일 이 삼 사", "오 육 칠"}));
    }

    void errorsEndTheReplyInKorean_data() {
        QTest::addColumn<QString>("fault");
        QTest::addColumn<QString>("message");
        const QString model = QStringLiteral("한국어 음성 모델을 준비하지 못해");
        QTest::newRow("model folder missing a file") << "incomplete" << model;
        QTest::newRow("model file that does not load") << "unloadable" << model;
        QTest::newRow("recognizer failing on the audio")
            << "failing" << QStringLiteral("한국어 음성 인식 중 오류가 발생해");
        QTest::newRow("microphone gone") << "microphone" << QStringLiteral("마이크 연결이 끊겨");
        QTest::newRow("sound server gone")
            << "server" << QStringLiteral("사운드 서버와의 연결이 끊겨");
        QTest::newRow("no sound server at the start")
            << "unreachable" << QStringLiteral("사운드 서버에 연결하지");
    }

    void errorsEndTheReplyInKorean() {
        QFETCH(QString, fault);
        QFETCH(QString, message);
        ScopedEnvironment environment;
        environment.set("HF_ENDPOINT", "http://127.0.0.1:1");
        QTemporaryDir root;
        const QString folder = koreanFolder(root.path());
        CaptionTestModels::writeSpelling(folder, {QStringLiteral("▁네")});
        const QDir models(folder);
        // The decoder in the preprocessor's place loads but cannot take audio.
        const QString preprocessor = models.filePath(QStringLiteral("preprocessor.pt"));
        if (fault == "incomplete" || fault == "failing")
            QVERIFY(QFile::remove(preprocessor));
        if (fault == "failing")
            QVERIFY(QFile::copy(models.filePath(QStringLiteral("decoder.pt")), preprocessor));
        if (fault == "unloadable")
            writeFile(models.filePath(QStringLiteral("encoder/encoder_int8.pt")), "not a model");
        audiotest::PrivateDaemon daemon;
        QVERIFY(daemon.start());
        audiotest::pactl({"load-module", "module-remap-source", "source_name=private_mic",
                          "master=private_speakers.monitor"},
                         daemon.address());
        QVERIFY(audiotest::makeDefaultSource("private_mic", daemon.address()));
        SpeechRecognitionService service(ko, NemotronSpeechRecognizer::forLocale(ko, root.path()),
                                         fault == "unreachable"
                                             ? QStringLiteral("unix:/nonexistent/pulse/native")
                                             : daemon.address());
        QString said;
        try {
            service.startMicrophone();
            // The microphone goes; the output's monitor is left, not a microphone.
            if (fault == "microphone")
                audiotest::pactl({"unload-module", "module-remap-source"}, daemon.address());
            if (fault == "server")
                daemon.stop();
            QTRY_VERIFY_WITH_TIMEOUT(service.recognitionError(), 30000);
            said = *service.recognitionError();
            QVERIFY_THROWS_EXCEPTION(ServiceError, runToCompletion(service.finish()));
        } catch (const ServiceError& error) {
            // Without a sound server the start fails at once, and ending is harmless.
            said = error.description();
            QCOMPARE(runToCompletion(service.finish()), QString());
        }
        QVERIFY2(said.startsWith(message), qPrintable(said));
        QVERIFY(!service.isListening());
    }

    // A missing model is fetched to the end whatever the replies do: a reply ended while it
    // is fetched is recognised, whole, once it is there, and a second reply joins the same
    // download. Only an explicit cancel stops it, failing the reply waiting for it, and the
    // next reply fetches it again. The progress shows until the fetch is over.
    void missingModelIsFetchedWhateverTheReplyDoes() {
        FakeModelHub hub;
        ScopedEnvironment environment;
        environment.set("HF_ENDPOINT", hub.baseURL().toUtf8());
        const QString repository = QStringLiteral("nvidia/nemotron-3.5-asr-streaming-0.6b");
        const QString checkpoint = QStringLiteral("nemotron-3.5-asr-streaming-0.6b.nemo");
        hub.serveRepository(repository, QStringLiteral("main"), QString(40, u'c'),
                            {{checkpoint, fixture(QStringLiteral("small-multi.nemo"))}});
        QTemporaryDir root;
        NemotronSpeechRecognizer recognizer(root.path());
        QList<std::optional<NemotronDownloadProgress>> reports;
        recognizer.setModelProgressHandler([&reports](const auto& report) {
            postToMainThread([&reports, report] { reports << report; });
        });
        const PcmBuffer speech = fixtureSpeech();
        const auto transfers = [&hub, &checkpoint] {
            return std::ranges::count_if(hub.requests(), [&](const FakeModelHub::Request& r) {
                return r.path.endsWith(checkpoint.toUtf8());
            });
        };

        Heard cancelled;
        const auto first = recognise(recognizer, {speech}, cancelled);
        recognizer.cancelModelFetch();
        QTRY_VERIFY_WITH_TIMEOUT(cancelled.final, 30000);
        QVERIFY2(cancelled.failed && cancelled.final->contains(QStringLiteral("취소")),
                 qPrintable(*cancelled.final));
        QVERIFY(!recognizer.hasModel());

        const auto transfersBefore = transfers();
        Heard ended, joined;
        const auto second = recognise(recognizer, {speech}, ended);
        const auto third = recognise(recognizer, {speech}, joined);
        QTRY_VERIFY_WITH_TIMEOUT(ended.final && joined.final, 120000);
        QVERIFY2(!ended.failed && !joined.failed, qPrintable(*ended.final + *joined.final));
        QVERIFY(!ended.final->isEmpty());
        QCOMPARE(*joined.final, *ended.final);
        QCOMPARE(int(transfers() - transfersBefore), 1);
        QVERIFY(recognizer.hasModel());
        QTRY_VERIFY_WITH_TIMEOUT(!reports.isEmpty() && !reports.last(), 30000);
        QVERIFY(
            std::ranges::any_of(reports, [](const auto& report) { return report.has_value(); }));

        // What was said while the model was fetched is heard as it would be with the model there.
        Heard later;
        const auto fourth = recognise(recognizer, {speech}, later);
        QTRY_VERIFY_WITH_TIMEOUT(later.final, 30000);
        QCOMPARE(*later.final, *ended.final);
    }
};

QTEST_GUILESS_MAIN(SpeechRecognitionServiceTest)
#include "SpeechRecognitionServiceTest.moc"
