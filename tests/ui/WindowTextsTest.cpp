#include "app/ui/WindowTexts.h"
#include "app/ui/GuideParser.h"
#include "tests/support/WriteFile.h"

#include <QTemporaryDir>
#include <QTest>

using namespace WindowTexts;
using Kind = GuideBlock::Kind;

namespace {

const GuideBlock gap{Kind::gap, {}};

GuideBlock line(const QString& text) {
    return {Kind::line, text};
}

} // namespace

// The window tests read the labels on screen and ContentViewModelTest the workflow's statuses in
// Korean; here, the derivations with rules of their own, and the guide's reading.
class WindowTextsTest : public QObject {
    Q_OBJECT

private slots:
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
        QTest::newRow("truncated, minutes left rounded up")
            << report(0.507, 1'240'000'000, 2'500'000'000, std::chrono::seconds(61))
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

    // Blank lines collapse; a "Created by" line is skipped; CRLF line ends, as a Windows editor
    // saves them.
    void markup() {
        const QList<GuideBlock> blocks = {
            {Kind::title, "Relayo"}, {Kind::heading, "Start"}, gap, line(" Created by X"), gap};
        QCOMPARE(GuideParser::parse("Created by X\r\nRelayo\r\n===\r\nStart\r\n---\r\n\r\n "
                                    "\r\n\t\r\n Created by X\r\n"),
                 blocks);
    }

    // Guide.txt first, then the Korean name in any normalisation; an unreadable guide asks for a
    // reinstall.
    void guideFileIsFoundOrAReinstallAsked() {
        const QList<GuideBlock> reinstall = {
            line(QStringLiteral("사용법 파일을 찾지 못했어요. 앱을 다시 설치해 주세요."))};
        QTemporaryDir dir;
        QVERIFY(!GuideParser::guideFile(dir.path()));
        QCOMPARE(GuideParser::load(dir.path()), reinstall);
        const QString decomposed =
            QStringLiteral("사용법.txt").normalized(QString::NormalizationForm_D);
        writeFile(dir.filePath(decomposed), "decomposed");
        QCOMPARE(GuideParser::guideFile(dir.path()), dir.filePath(decomposed));
        writeFile(dir.filePath(QStringLiteral("Guide.txt")), "bad \xff\xfe bytes");
        QCOMPARE(GuideParser::guideFile(dir.path()), dir.filePath(QStringLiteral("Guide.txt")));
        QCOMPARE(GuideParser::load(dir.path()), reinstall);
    }
};

QTEST_GUILESS_MAIN(WindowTextsTest)
#include "WindowTextsTest.moc"
