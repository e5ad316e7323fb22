#include "app/ui/WindowTexts.h"

#include <QTest>

using namespace WindowTexts;

// The window tests read the labels on screen and ContentViewModelTest the workflow's statuses in
// Korean; here, the derivations with rules of their own.
class WindowTextsTest : public QObject {
    Q_OBJECT

private slots:
    void currentStepOrder_data() {
        QTest::addColumn<StepInputs>("inputs");
        QTest::addColumn<int>("step");
        const auto inputs = [](AssistPhase phase, bool listening = false, QString translation = {},
                               QString transcript = {}) {
            return StepInputs{false, false, phase, listening, translation, transcript};
        };
        QTest::newRow("error alone") << inputs(AssistPhase::error) << 0;
        QTest::newRow("caption left") << inputs(AssistPhase::idle, false, {}, "Hello") << 1;
        QTest::newRow("speaking") << inputs(AssistPhase::speakingKorean) << 1;
        QTest::newRow("translating reply beats listening")
            << StepInputs{false, true, AssistPhase::translatingReply, true, "안녕", "Hi"} << 2;
        QTest::newRow("answer beats speaking")
            << StepInputs{true, false, AssistPhase::speakingKorean, true, {}, {}} << 2;
    }
    void currentStepOrder() {
        QFETCH(StepInputs, inputs);
        QTEST(currentStep(inputs), "step");
    }

    void modelStatus_data() {
        using Stage = NemotronDownloadProgress::Stage;
        QTest::addColumn<std::optional<NemotronDownloadProgress>>("progress");
        QTest::addColumn<QString>("text");
        const auto report = [](double fraction, qint64 received = 0, qint64 total = 0,
                               std::optional<std::chrono::seconds> left = std::nullopt,
                               Stage stage = Stage::downloading) {
            return std::optional(
                NemotronDownloadProgress{stage, fraction, received, total, left, {}});
        };
        QTest::newRow("absent") << std::optional<NemotronDownloadProgress>()
                                << "영어 자막 준비 중…";
        QTest::newRow("truncated") << report(0.427) << "영어 자막 준비 중 42%";
        QTest::newRow("minutes left, rounded up")
            << report(0.5, 1'240'000'000, 2'500'000'000, std::chrono::seconds(61))
            << "영어 자막 준비 중 50% · 1.2 GB / 2.5 GB · 약 2분 남음";
        QTest::newRow("importing") << report(0.4, 0, 0, std::nullopt, Stage::importing)
                                   << "영어 자막 준비 중 40% · 모델 변환 중";
    }
    void modelStatus() {
        QFETCH(std::optional<NemotronDownloadProgress>, progress);
        QFETCH(QString, text);
        QCOMPARE(modelStatusText(progress), text);
        // The Korean model says the same of itself, and nothing when it is not being fetched.
        QCOMPARE(koreanModelStatusText(progress),
                 progress ? text.replace(QStringLiteral("영어 자막 준비 중"),
                                         QStringLiteral("한국어 인식 모델 받는 중"))
                          : QString());
    }
};

QTEST_GUILESS_MAIN(WindowTextsTest)
#include "WindowTextsTest.moc"
