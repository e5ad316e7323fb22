#include "app/ui/ContentViewModel.h"
#include "tests/workflow/WorkflowHarness.h"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

namespace {

// Every route fails except the clipboard, which keeps what it was given.
class ClipboardOnly : public ReportDelivery {
public:
    explicit ClipboardOnly(QStringList& copied) : m_copied(copied) {}
    QCoro::Task<bool> composeEmail(QString, QString, QString) override { co_return false; }
    bool openUrl(const QUrl&) override { return false; }
    void copyToClipboard(const QString& text) override { m_copied << text; }

private:
    QStringList& m_copied;
};

const AudioDevice speakers{1, QStringLiteral("Speakers")};
const AudioDevice blackHole{7, QStringLiteral("BlackHole 2ch")};
const AudioDevice virtualMic{8, QStringLiteral("Relayo Virtual Microphone")};

} // namespace

class ContentViewModelTest : public QObject {
    Q_OBJECT

    std::unique_ptr<WorkflowHarness> harness;
    std::unique_ptr<ContentViewModel> content;
    QStringList copied;

    QVariantMap notice() const { return content->property("currentNotice").toMap(); }

private slots:
    void init() {
        harness = std::make_unique<WorkflowHarness>();
        copied.clear();
        content = std::make_unique<ContentViewModel>(
            harness->model(), std::make_unique<ClipboardOnly>(copied), QString());
    }
    void cleanup() {
        content.reset();
        harness.reset();
    }

    void derivedValuesFollowServiceChanges() {
        QSignalSpy changed(content.get(), &ContentViewModel::stateChanged);
        QCOMPARE(content->currentStep(), 0);
        harness->meetingSpeech->setTranscript(QStringLiteral("Could you share it?"));
        QVERIFY(!changed.isEmpty());
        QCOMPARE(content->currentStep(), 1);
        QCOMPARE(content->englishCaptionText(), QStringLiteral("Could you share it?"));
        harness->model().setApprovedText(QStringLiteral("   \n"));
        QVERIFY(!content->hasEnglishAnswer());
        QCOMPARE(content->currentStep(), 1);
        harness->model().setApprovedText(QStringLiteral("Sure."));
        QCOMPARE(content->currentStep(), 2);
    }

    void preparationNoteOnlyWhileNothingNeedsAttention() {
        QVERIFY(content->property("currentNotice").isNull());
        harness->meetingSpeech->setIsPreparing(true);
        QCOMPARE(notice().value("title").toString(), QStringLiteral("영어 자막을 준비하고 있어요"));
        QCOMPARE(content->phaseText(), QStringLiteral("준비 중"));
        // An error takes the preparation note's place.
        harness->model().sendToMeeting();
        QCOMPARE(harness->model().phase(), AssistPhase::error);
        QCOMPARE(notice().value("kind").toString(), QStringLiteral("attention"));
    }

    void virtualMicrophoneNoticeFollowsTheDevices() {
        harness->model().sendToMeeting();
        QVERIFY(harness->model().statusMessage().contains(QStringLiteral("virtual microphone")));
        QCOMPARE(notice().value("actionTitle").toString(), QStringLiteral("가상 마이크 만들기"));
        harness->audioOutput->setDevices({speakers, blackHole});
        QCOMPARE(notice().value("actionTitle").toString(), QStringLiteral("설정 열기"));
        content->performNoticeAction();
        QCOMPARE(content->activeSheet(), QStringLiteral("settings"));
    }

    void guideOpensAfterTheSettingsSheetCloses() {
        content->openGuide();
        QCOMPARE(content->activeSheet(), QStringLiteral("guide"));
        content->closeSheet();
        content->openSettings();
        content->openGuide();
        QCOMPARE(content->activeSheet(), QString());
        QTRY_COMPARE(content->activeSheet(), QStringLiteral("guide"));
    }

    void recheckSelectsAVirtualMicrophoneUnlessOneIsChosen() {
        harness->audioOutput->setDevices({speakers, blackHole, virtualMic});
        harness->audioOutput->setSelectedDeviceID(speakers.id);
        content->windowBecameActive();
        QCOMPARE(harness->audioOutput->selectedDeviceID(), blackHole.id);
        harness->audioOutput->setSelectedDeviceID(virtualMic.id);
        content->recheckVirtualMicrophone();
        QCOMPARE(harness->audioOutput->selectedDeviceID(), virtualMic.id);
        QVERIFY(content->isVirtualMicrophoneSelected());
    }

    void choosingAFreeVoiceLeavesElevenLabs() {
        harness->model().selectVoiceSource(VoiceSource::elevenLabs);
        content->chooseLocalVoice(QStringLiteral("daniel"));
        QCOMPARE(harness->model().voiceSource(), VoiceSource::local);
        QCOMPARE(harness->model().selectedLocalVoiceID(), QStringLiteral("daniel"));
        const QVariantList tiles = content->voiceTiles();
        QCOMPARE(tiles.size(), 2);
        QVERIFY(!tiles[0].toMap().value("isSelected").toBool());
        QVERIFY(tiles[1].toMap().value("isSelected").toBool());
    }

    void elevenLabsTileNeedsKeyAndChosenVoice() {
        harness->elevenLabs->voiceLists.answer(
            {{QStringLiteral("v1"), QStringLiteral("Rachel"), std::nullopt, std::nullopt}});
        content->setElevenLabsAPIKey(QStringLiteral("  "));
        content->connectElevenLabs();
        QVERIFY(!harness->model().hasElevenLabsAPIKey());
        content->setElevenLabsAPIKey(QStringLiteral("sk-test"));
        content->connectElevenLabs();
        QTRY_VERIFY(harness->model().hasElevenLabsAPIKey());
        QTRY_COMPARE(content->elevenLabsAPIKey(), QString());
        QTRY_COMPARE(content->voiceTiles().size(), 3);
        const QVariantMap tile = content->voiceTiles().last().toMap();
        QCOMPARE(tile.value("name").toString(), QStringLiteral("Rachel"));
        QCOMPARE(tile.value("detail").toString(), QStringLiteral("ElevenLabs"));
        QVERIFY(content->isSelectedElevenLabsVoiceAvailable());
    }

    // The report's wording is TroubleshootingReportTest's; here, the state that goes into it.
    void reportCarriesTheSelectionsOnlyWhenAsked() {
        content->setReportText(QStringLiteral("  자막이 안 나와요  "));
        content->sendReport();
        QTRY_VERIFY(content->reportNote().has_value());
        QCOMPARE(copied,
                 QStringList{QStringLiteral("자막이 안 나와요\n\n---\n") + content->diagnostics()});
        QVERIFY(copied[0].contains(QStringLiteral("목소리: Samantha · ElevenLabs 연결 안 됨")));
        content->setReportIncludesState(false);
        content->sendReport();
        QTRY_COMPARE(copied.size(), 2);
        QCOMPARE(copied[1], QStringLiteral("자막이 안 나와요"));
        // The text stays for another attempt.
        QCOMPARE(content->reportText(), QStringLiteral("  자막이 안 나와요  "));

        harness->capture->listings.answer({{42, QStringLiteral("Zoom Workplace"), {}, {}}});
        QCoro::waitFor(harness->model().refreshApplications());
        harness->audioOutput->setDevices({speakers, blackHole});
        harness->audioOutput->setSelectedDeviceID(blackHole.id);
        harness->meetingSpeech->setRecognitionError(QStringLiteral("Model missing"));
        const QString text = content->diagnostics();
        QVERIFY(text.contains(QStringLiteral("\n회의 앱: Zoom Workplace · 목록 1개\n")));
        QVERIFY(text.contains(
            QStringLiteral("\n회의로 보낼 마이크: BlackHole 2ch · 가상 마이크 있음\n")));
        QVERIFY(text.endsWith(QStringLiteral("\n영어 자막: 멈춤 · 오류: Model missing")));
        QVERIFY(text.contains(QStringLiteral("\n상태: 준비됐어요 (Ready)\n")));
    }
};

QTEST_GUILESS_MAIN(ContentViewModelTest)
#include "ContentViewModelTest.moc"
