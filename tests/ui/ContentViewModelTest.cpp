#include "app/ui/ContentViewModel.h"
#include "tests/workflow/WorkflowHarness.h"

#include <QSignalSpy>
#include <QTest>
#include <QUrlQuery>
#include <functional>

// Something done to the controller and its fakes.
using HarnessStep = std::function<void(WorkflowHarness&)>;
Q_DECLARE_METATYPE(HarnessStep)

namespace {

// Records what each route received; each route works or not as told.
class FakeDelivery : public ReportDelivery {
public:
    bool composeWorks = false;
    bool urlWorks = false;
    QStringList composed;
    QList<QUrl> opened;
    QStringList copied;

    QCoro::Task<bool> composeEmail(QString to, QString subject, QString body) override {
        composed << to << subject << body;
        co_return composeWorks;
    }
    bool openUrl(const QUrl& url) override {
        opened << url;
        return urlWorks;
    }
    void copyToClipboard(const QString& text) override { copied << text; }
};

HarnessStep failWith(const QString& message) {
    return [message](WorkflowHarness& h) { emit h.audioOutput->playbackFailed(message); };
}

const AudioDevice speakers{1, QStringLiteral("Speakers")};
const AudioDevice blackHole{7, QStringLiteral("BlackHole 2ch")};
const AudioDevice virtualMic{8, QStringLiteral("Relayo Virtual Microphone")};

} // namespace

class ContentViewModelTest : public QObject {
    Q_OBJECT

    std::unique_ptr<WorkflowHarness> h;
    std::unique_ptr<ContentViewModel> content;
    FakeDelivery* delivery = nullptr;

    QString notice(const char* field) const {
        return content->property("currentNotice").toMap().value(field).toString();
    }

private slots:
    void init() {
        h = std::make_unique<WorkflowHarness>();
        auto fakeDelivery = std::make_unique<FakeDelivery>();
        delivery = fakeDelivery.get();
        content =
            std::make_unique<ContentViewModel>(h->model(), std::move(fakeDelivery), QString());
    }
    void cleanup() {
        content.reset();
        h.reset();
    }

    void stepFollowsTheServices() {
        QSignalSpy changed(content.get(), &ContentViewModel::stateChanged);
        QCOMPARE(content->currentStep(), 0);
        h->meetingSpeech->setTranscript(QStringLiteral("Could you share it?"));
        QVERIFY(!changed.isEmpty());
        QCOMPARE(content->currentStep(), 1);
        QCOMPARE(content->englishCaptionText(), QStringLiteral("Could you share it?"));
        h->model().setApprovedText(QStringLiteral("   \n"));
        QCOMPARE(content->currentStep(), 1);
        h->model().setApprovedText(QStringLiteral("Sure."));
        QCOMPARE(content->currentStep(), 2);
    }

    // Each failure the workflow reports is recognised by the notice, with its own action.
    void workflowFailuresGetTheirNotice_data() {
        QTest::addColumn<QStringList>("shown");
        QTest::addColumn<HarnessStep>("failure");
        QTest::newRow("no application")
            << QStringList{"들을 회의 앱을 먼저 골라 주세요", "목록 새로고침"}
            << HarnessStep([](WorkflowHarness& h) { QCoro::waitFor(h->startMeetingListening()); });
        QTest::newRow("sound server")
            << QStringList{"소리 서버에 연결하지 못했어요", "소리 설정 열기"}
            << HarnessStep([](WorkflowHarness& h) {
                   h.capture->listings.fail(QStringLiteral("Refused."));
                   QCoro::waitFor(h->refreshApplications());
               });
        QTest::newRow("microphone")
            << QStringList{"마이크와 음성 인식을 쓸 수 없어요", "소리 설정 열기"}
            << HarnessStep([](WorkflowHarness& h) {
                   h.koreanSpeech->permissionsGranted = false;
                   QCoro::waitFor(h->prepare());
               });
        QTest::newRow("no virtual microphone")
            << QStringList{"회의로 보낼 마이크를 골라 주세요", "가상 마이크 만들기"}
            << HarnessStep([](WorkflowHarness& h) { h->sendToMeeting(); });
        QTest::newRow("no ElevenLabs voice")
            << QStringList{"ElevenLabs 목소리가 준비되지 않았어요", "설정 열기"}
            << HarnessStep([](WorkflowHarness& h) {
                   h->selectVoiceSource(VoiceSource::elevenLabs);
                   h->setApprovedText(QStringLiteral("Hi."));
                   QCoro::waitFor(h->generateApprovedVoice());
               });
        QTest::newRow("empty answer")
            << QStringList{"보낼 영어 문장이 비어 있어요", ""}
            << HarnessStep([](WorkflowHarness& h) { QCoro::waitFor(h->generateApprovedVoice()); });
        QTest::newRow("the earlier of two markers wins")
            << QStringList{"소리 서버에 연결하지 못했어요", "소리 설정 열기"}
            << failWith("The sound server so the app, and speech recognition is not available");
        QTest::newRow("marker only at the start")
            << QStringList{"문제가 생겼어요", ""}
            << failWith("Please Select the meeting application first.");
        QTest::newRow("a Korean message is its own title")
            << QStringList{"다시 말해 주세요.", ""} << failWith("다시 말해 주세요.");
    }
    void workflowFailuresGetTheirNotice() {
        QFETCH(HarnessStep, failure);
        failure(*h);
        QCOMPARE(h->model().phase(), AssistPhase::error);
        QCOMPARE(notice("kind"), QStringLiteral("attention"));
        QTEST(QStringList({notice("title"), notice("actionTitle")}), "shown");
        // QML tells an absent action by null.
        QCOMPARE(content->property("currentNotice").toMap().value("actionTitle").isNull(),
                 notice("actionTitle").isEmpty());
    }

    void preparationNoteOnlyWhileNothingNeedsAttention() {
        QVERIFY(content->property("currentNotice").isNull());
        h->meetingSpeech->setIsPreparing(true);
        QCOMPARE(notice("title"), QStringLiteral("영어 자막을 준비하고 있어요"));
        QCOMPARE(content->phaseText(), QStringLiteral("준비 중"));
        h->model().sendToMeeting();
        QCOMPARE(notice("kind"), QStringLiteral("attention"));
        h->audioOutput->setDevices({speakers, blackHole});
        QCOMPARE(notice("actionTitle"), QStringLiteral("설정 열기"));
        content->performNoticeAction();
        QCOMPARE(content->activeSheet(), QStringLiteral("settings"));
    }

    // The workflow's ElevenLabs statuses read in Korean; only a service's own failure passes.
    void elevenLabsStatusesReadInKorean() {
        const auto shows = [this](const QString& text) {
            QCOMPARE(content->elevenLabsStatusText(), text);
        };
        // The window does not pass a blank key on.
        content->setElevenLabsAPIKey(QStringLiteral("  "));
        content->connectElevenLabs();
        shows(QStringLiteral("API 키를 넣으면 내 ElevenLabs 목소리를 쓸 수 있어요."));
        QCoro::waitFor(h->model().connectElevenLabs(QStringLiteral("  ")));
        shows(QStringLiteral("API 키를 먼저 넣어 주세요."));
        const auto listing = h->elevenLabs->voiceLists.answerWhenOpened(
            {{QStringLiteral("v1"), QStringLiteral(".Mr. X."), std::nullopt, std::nullopt}});
        content->setElevenLabsAPIKey(QStringLiteral("sk-test"));
        content->connectElevenLabs();
        QTRY_COMPARE(content->elevenLabsStatusText(),
                     QStringLiteral("목소리를 불러오는 중이에요…"));
        listing->open();
        QTRY_COMPARE(content->elevenLabsStatusText(), QStringLiteral("연결됐어요 · Mr. X"));
        QCOMPARE(content->elevenLabsAPIKey(), QString());
        QCOMPARE(content->voiceTiles().size(), 3);
        QCOMPARE(content->voiceTiles().last().toMap().value("detail"),
                 QStringLiteral("ElevenLabs"));
        QVERIFY(content->isSelectedElevenLabsVoiceAvailable());
        QCoro::waitFor(h->model().refreshElevenLabsVoices());
        shows(QStringLiteral("연결됐지만 쓸 수 있는 목소리가 없어요."));
        h->elevenLabs->voiceLists.fail(QStringLiteral("HTTP 401: invalid key"));
        QCoro::waitFor(h->model().refreshElevenLabsVoices());
        shows(QStringLiteral("HTTP 401: invalid key"));
        QCoro::waitFor(h->model().forgetElevenLabsAPIKey());
        shows(QStringLiteral("키링에서 API 키를 지웠어요."));
    }

    void guideOpensAfterTheSettingsSheetCloses() {
        content->openGuide();
        QCOMPARE(content->activeSheet(), QStringLiteral("guide"));
        content->openSettings();
        content->openGuide();
        QCOMPARE(content->activeSheet(), QString());
        QTRY_COMPARE_WITH_TIMEOUT(content->activeSheet(), QStringLiteral("guide"), 60'000);
    }

    void recheckSelectsAVirtualMicrophoneUnlessOneIsChosen() {
        h->audioOutput->setDevices({speakers, blackHole, virtualMic});
        h->audioOutput->setSelectedDeviceID(speakers.id);
        QVERIFY(!content->isVirtualMicrophoneSelected());
        content->windowBecameActive();
        QCOMPARE(h->audioOutput->selectedDeviceID(), blackHole.id);
        h->audioOutput->setSelectedDeviceID(virtualMic.id);
        content->recheckVirtualMicrophone();
        QCOMPARE(h->audioOutput->selectedDeviceID(), virtualMic.id);
        QVERIFY(content->isVirtualMicrophoneSelected());
    }

    void choosingAFreeVoiceLeavesElevenLabs() {
        h->model().selectVoiceSource(VoiceSource::elevenLabs);
        content->chooseLocalVoice(QStringLiteral("daniel"));
        QCOMPARE(h->model().voiceSource(), VoiceSource::local);
        QCOMPARE(h->model().selectedLocalVoiceID(), QStringLiteral("daniel"));
        const QVariantList tiles = content->voiceTiles();
        QCOMPARE(tiles.size(), 2);
        QVERIFY(!tiles[0].toMap().value("isSelected").toBool());
        QVERIFY(tiles[1].toMap().value("isSelected").toBool());
    }

    void diagnosticsDescribeTheState() {
        QCoreApplication::setApplicationVersion(QStringLiteral("0.1.0"));
        h->capture->applications = {{42, QStringLiteral("Zoom Workplace"), {}, {}}};
        QCoro::waitFor(h->model().refreshApplications());
        h->audioOutput->setDevices({speakers, blackHole});
        h->audioOutput->setSelectedDeviceID(blackHole.id);
        QCoro::waitFor(h->model().connectElevenLabs(QStringLiteral("key")));
        h->model().selectVoiceSource(VoiceSource::elevenLabs);
        h->meetingSpeech->setIsListening(true);
        h->meetingSpeech->setIsPreparing(true);
        h->meetingSpeech->setRecognitionError(QStringLiteral("Model missing"));
        QCOMPARE(content->diagnostics(),
                 "앱 버전: 0.1.0\nLinux: " + QSysInfo::prettyProductName() +
                     "\n상태: 준비 중 (Ready)\n마지막 안내: " + h->model().statusMessage() +
                     "\n회의 앱: Zoom Workplace · 목록 1개\n"
                     "회의로 보낼 마이크: BlackHole 2ch · 가상 마이크 있음\n"
                     "목소리: ElevenLabs · ElevenLabs 연결 됨\n영어 자막: 듣는 중 · 오류: Model "
                     "missing");
    }

    // The mail program first, then a mail link, then the clipboard; blank text goes nowhere.
    void reportTriesEveryRouteInTurn() {
        const QString text = QStringLiteral("자막이 안 나와요 & 50% #1 + a=b");
        content->setReportText(QStringLiteral(" \n\t "));
        content->sendReport();
        QVERIFY(delivery->composed.isEmpty() && !content->reportNote());
        content->setReportText("  " + text + " \n");
        delivery->composeWorks = true;
        content->sendReport();
        const QString body = text + "\n\n---\n" + content->diagnostics();
        QCOMPARE(delivery->composed,
                 QStringList({"support@relayo.app", "[Relayo] 문제 해결 요청", body}));
        QCOMPARE(content->reportNote(), QStringLiteral("메일 앱에서 보내기를 누르면 전달돼요."));
        delivery->composeWorks = false;
        content->sendReport();
        QCOMPARE(delivery->copied, QStringList{body});
        QCOMPARE(content->reportNote(),
                 QStringLiteral("메일 앱을 열지 못해 내용을 복사했어요. "
                                "support@relayo.app로 붙여 넣어 보내 주세요."));
        delivery->urlWorks = true;
        content->setReportIncludesState(false);
        content->sendReport();
        QCOMPARE(delivery->copied.size(), 1);
        const QUrl link = delivery->opened.last();
        QCOMPARE(link.toString(QUrl::RemoveQuery), QStringLiteral("mailto:support@relayo.app"));
        QCOMPARE(QUrlQuery(link).queryItemValue("subject", QUrl::FullyDecoded),
                 QStringLiteral("[Relayo] 문제 해결 요청"));
        QCOMPARE(QUrlQuery(link).queryItemValue("body", QUrl::FullyDecoded), text);
        // The text stays for another attempt.
        QCOMPARE(content->reportText(), "  " + text + " \n");
    }
};

QTEST_GUILESS_MAIN(ContentViewModelTest)
#include "ContentViewModelTest.moc"
