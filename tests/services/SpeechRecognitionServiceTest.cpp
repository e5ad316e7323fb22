// The Korean reply recogniser with a tiny Korean model, on the test sound server's microphone.

#include "app/services/reply/SpeechRecognitionService.h"
#include "app/services/reply/NemotronSpeechRecognizer.h"
#include "app/workflow/ServiceError.h"
#include "speech-engine/NemotronModelDownloader.h"
#include "tests/services/AudioTestSupport.h"
#include "tests/services/CaptionTestModels.h"
#include "tests/speech-engine/FakeModelHub.h"

#include <QDir>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

namespace {

// Every chunk of microphone audio, silent or not, adds the next word.
QStringList koreanWords() {
    QStringList words{QStringLiteral("▁안녕하세요")};
    for (int i = 1; i < 100; ++i) {
        words << QStringLiteral("▁네");
    }
    return words;
}

} // namespace

class SpeechRecognitionServiceTest : public QObject {
    Q_OBJECT

private:
    QTemporaryDir m_modelsRoot;
    QTemporaryDir m_emptyRoot;

    std::unique_ptr<SpeechRecognitionService> korean(const QString& modelsRoot) {
        return std::make_unique<SpeechRecognitionService>(
            QStringLiteral("ko-KR"),
            NemotronSpeechRecognizer::forLocale(QStringLiteral("ko-KR"), modelsRoot));
    }

    static void expectUnavailable(SpeechRecognitionService&& service) {
        expectUnavailable(service);
    }
    static void expectUnavailable(SpeechRecognitionService& service) {
        try {
            service.startMicrophone();
            QFAIL("startMicrophone did not fail");
        } catch (const ServiceError& error) {
            QCOMPARE(error.domain(), QStringLiteral("Speech"));
            QCOMPARE(error.code(), 1);
            QVERIFY2(error.description().contains(QStringLiteral("./relayo models")),
                     qPrintable(error.description()));
        }
        QVERIFY(!service.isListening());
        service.stop();
    }

private slots:
    void initTestCase() {
        CaptionTestModels::writeCounting(
            NemotronModelDownloader::modelFolder(HubModel::korean(), m_modelsRoot.path()),
            koreanWords(), 0);
    }

    void stopWithoutStartOnlyEndsListening() {
        const auto service = korean(m_modelsRoot.path());
        QSignalSpy listening(service.get(), &ISpeechRecognitionService::isListeningChanged);
        QSignalSpy transcript(service.get(), &ISpeechRecognitionService::transcriptChanged);
        service->stop();
        QCOMPARE(listening.size(), 1);
        QVERIFY(!service->isListening());
        QCOMPARE(transcript.size(), 0);
        QCOMPARE(service->recognitionError(), std::nullopt);
    }

    void withoutARecognizerForTheLocaleStartFailsWithAHint() {
        expectUnavailable(SpeechRecognitionService(
            QStringLiteral("sv-SE"), NemotronSpeechRecognizer::forLocale(QStringLiteral("sv-SE"))));
    }

    // The first reply fetches the missing model; ending the reply stops the fetch at once.
    void missingModelIsFetchedAndEndingTheReplyCancelsIt() {
        FakeModelHub hub;
        qputenv("HF_ENDPOINT", hub.baseURL().toUtf8());
        hub.serveRepository(QStringLiteral("nvidia/nemotron-3.5-asr-streaming-0.6b"),
                            QStringLiteral("main"), QString(40, u'c'),
                            {{QStringLiteral("model.nemo"), QByteArray(4096, 'x')}});
        // Only the cancel can end this transfer.
        hub.setNextTransfer(FakeModelHub::Transfer::stallHalfway);
        const auto service = korean(m_emptyRoot.path());
        service->startMicrophone();
        QVERIFY(service->isListening());
        QTRY_COMPARE_WITH_TIMEOUT(hub.fileRequests().size(), 1, 30000);
        QTRY_VERIFY_WITH_TIMEOUT(service->modelProgress(), 30000);
        QCOMPARE(service->modelProgress()->bytesTotal, 4096);
        service->stop();
        QCOMPARE(service->modelProgress(), std::nullopt);
        QTRY_COMPARE_WITH_TIMEOUT(service->recognitionError(),
                                  QStringLiteral("The model download was cancelled."), 30000);
        QVERIFY(!QDir(NemotronModelDownloader::modelFolder(HubModel::korean(), m_emptyRoot.path()))
                     .exists());
    }

    void permissionsNeedAnAnsweringSoundServer() {
        const auto service = korean(m_modelsRoot.path());
        QVERIFY(runToCompletion(service->requestPermissions()));
        SpeechRecognitionService unreachable(
            QStringLiteral("ko-KR"),
            NemotronSpeechRecognizer::forLocale(QStringLiteral("ko-KR"), m_modelsRoot.path()),
            QStringLiteral("unix:/nonexistent/pulse/native"));
        QVERIFY(!runToCompletion(unreachable.requestPermissions()));
    }

    void followsTheReplyAndTakesResultsArrivingAfterStop() {
        const auto service = korean(m_modelsRoot.path());
        service->startMicrophone();
        QVERIFY(service->isListening());
        QTRY_VERIFY_WITH_TIMEOUT(service->transcript().startsWith(QStringLiteral("안녕하세요")),
                                 30000);
        QCOMPARE(service->recognitionError(), std::nullopt);

        QSignalSpy transcript(service.get(), &ISpeechRecognitionService::transcriptChanged);
        service->stop();
        QVERIFY(!service->isListening());
        // The final result of the finished reply still arrives, and replaces the text.
        QVERIFY(transcript.wait(30000));
        QCOMPARE(service->transcript(), transcript.last().at(0).toString());
        QVERIFY(service->transcript().startsWith(QStringLiteral("안녕하세요")));
    }

    void secondStartBeginsANewReply() {
        const auto service = korean(m_modelsRoot.path());
        service->startMicrophone();
        QTRY_VERIFY_WITH_TIMEOUT(service->transcript().contains(QStringLiteral("네")), 30000);

        QSignalSpy transcript(service.get(), &ISpeechRecognitionService::transcriptChanged);
        service->startMicrophone();
        QVERIFY(service->isListening());
        QCOMPARE(transcript.first().at(0).toString(), QString());
        // The new reply starts from the first word again.
        QTRY_VERIFY_WITH_TIMEOUT(std::ranges::any_of(transcript,
                                                     [](const QList<QVariant>& arguments) {
                                                         return arguments.at(0).toString() ==
                                                                QStringLiteral("안녕하세요");
                                                     }),
                                 30000);
        service->stop();
    }
};

QTEST_GUILESS_MAIN(SpeechRecognitionServiceTest)
#include "SpeechRecognitionServiceTest.moc"
