// The caption service over the real streaming recognizer with tiny models.

#include "app/services/captions/NemotronCaptionService.h"
#include "app/services/captions/NemotronCaptionRecognizer.h"
#include "speech-engine/NemotronModelDownloader.h"
#include "tests/services/AudioTestSupport.h"
#include "tests/services/CaptionTestModels.h"

#include <QTemporaryDir>
#include <QTest>

namespace {

enum Word { could, you, share, it, question, andWord, then, full };

const QStringList words{QStringLiteral("▁Could"), QStringLiteral("▁you"), QStringLiteral("▁share"),
                        QStringLiteral("▁it"),    QStringLiteral("?"),    QStringLiteral("▁And"),
                        QStringLiteral("▁then"),  QStringLiteral(".")};

QString failureOf(QCoro::Task<> task) {
    try {
        runToCompletion(std::move(task));
    } catch (const std::exception& error) {
        return QString::fromUtf8(error.what());
    }
    return {};
}

} // namespace

class NemotronCaptionServiceTest : public QObject {
    Q_OBJECT

private:
    QTemporaryDir m_spellingRoot;

    static QString variantFolder(const QTemporaryDir& root) {
        return NemotronModelDownloader::variantFolder(Repo::nemotronStreaming560, root.path());
    }

    static std::unique_ptr<NemotronCaptionService> service(const QTemporaryDir& root) {
        return std::make_unique<NemotronCaptionService>(
            std::make_unique<NemotronCaptionRecognizer>(root.path()));
    }

private slots:
    void initTestCase() {
        // No test ever reaches the model hub.
        qputenv("HF_ENDPOINT", "http://127.0.0.1:1");
        CaptionTestModels::writeSpelling(variantFolder(m_spellingRoot), words);
    }

    void captionsFollowTheSpokenChunks() {
        const auto captions = service(m_spellingRoot);
        QCOMPARE(failureOf(captions->start()), QString());
        QVERIFY(captions->isListening());

        captions->append(
            CaptionTestModels::chunkSpelling({could, you, share, it, question, andWord}));

        // Half a chunk at a time: nothing is lost between blocks.
        auto chunk = CaptionTestModels::chunkSpelling({then, full});
        chunk.setFrameLength(CaptionTestModels::chunkSamples + CaptionTestModels::lookaheadSamples);
        const auto samples = chunk.samples<float>(0);
        const auto half = CaptionTestModels::chunkSamples / 2;
        for (const auto part : {samples.first(half), samples.subspan(half)}) {
            PcmBuffer block(chunk.format(), int(part.size()));
            std::ranges::copy(part, block.samples<float>(0).begin());
            captions->append(block);
            if (part.data() == samples.data()) {
                QTRY_COMPARE(captions->transcript(), QStringLiteral("And"));
                QCOMPARE(captions->completedSentence(), QStringLiteral("Could you share it?"));
            }
        }
        QTRY_COMPARE(captions->completedSentence(), QStringLiteral("And then."));
        QCOMPARE(captions->transcript(), QStringLiteral("And then."));

        // A new run starts from empty texts and a reset recognizer.
        QCOMPARE(failureOf(captions->start()), QString());
        QCOMPARE(captions->transcript(), QString());
        auto word = CaptionTestModels::chunkSpelling({it});
        word.setFrameLength(CaptionTestModels::chunkSamples + CaptionTestModels::lookaheadSamples);
        captions->append(word);
        QTRY_COMPARE(captions->transcript(), QStringLiteral("it"));
        QCOMPARE(captions->completedSentence(), QString());
        QCOMPARE(failureOf(captions->cancel()), QString());
        QVERIFY(!captions->isListening());
    }
};

QTEST_GUILESS_MAIN(NemotronCaptionServiceTest)
#include "NemotronCaptionServiceTest.moc"
