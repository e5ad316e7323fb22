#include "app/ui/ContentViewModel.h"
#include "tests/support/WaitUntil.h"
#include "tests/workflow/WorkflowHarness.h"

#include <QSignalSpy>
#include <QTest>
#include <QUrlQuery>
#include <functional>

using namespace Qt::StringLiterals;

// Something done to the controller and its fakes.
using HarnessStep = std::function<void(WorkflowHarness&)>;
Q_DECLARE_METATYPE(HarnessStep)

namespace {

// Records what each route received; each route works or not as told.
class FakeDelivery : public ReportDelivery {
public:
    bool composeWorks = false, urlWorks = false;
    QStringList composed, copied;
    QList<QUrl> opened;

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

const AudioDevice speakers{1, u"Speakers"_s};
const AudioDevice blackHole{7, u"BlackHole 2ch"_s};
const AudioDevice virtualMic{8, u"Relayo Virtual Microphone"_s};

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
        content.reset();
        h = std::make_unique<WorkflowHarness>();
        auto fakeDelivery = std::make_unique<FakeDelivery>();
        delivery = fakeDelivery.get();
        content =
            std::make_unique<ContentViewModel>(h->model(), std::move(fakeDelivery), QString());
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
                   h.capture->listings.fail(u"Refused."_s);
                   QCoro::waitFor(h->refreshApplications());
               });
        QTest::newRow("no virtual microphone")
            << QStringList{"회의로 보낼 마이크를 골라 주세요", "가상 마이크 만들기"}
            << HarnessStep([](WorkflowHarness& h) { h->sendToMeeting(); });
        QTest::newRow("a Korean message is its own title")
            << QStringList{"다시 말해 주세요.", ""} << HarnessStep([](WorkflowHarness& h) {
                   emit h.audioOutput->playbackFailed(u"다시 말해 주세요."_s);
               });
    }
    void workflowFailuresGetTheirNotice() {
        QFETCH(HarnessStep, failure);
        failure(*h);
        QCOMPARE(notice("kind"), u"attention"_s);
        QTEST(QStringList({notice("title"), notice("actionTitle")}), "shown");
        // QML tells an absent action by null.
        QCOMPARE(content->property("currentNotice").toMap().value("actionTitle").isNull(),
                 notice("actionTitle").isEmpty());
    }

    void preparationNoteOnlyWhileNothingNeedsAttention() {
        QVERIFY(content->property("currentNotice").isNull());
        h->meetingSpeech->setIsPreparing(true);
        QCOMPARE(notice("title"), u"영어 자막을 준비하고 있어요"_s);
        h->model().sendToMeeting();
        QCOMPARE(notice("kind"), u"attention"_s);
        h->audioOutput->setDevices({speakers, blackHole});
        QCOMPARE(notice("actionTitle"), u"설정 열기"_s);
        content->performNoticeAction();
        QCOMPARE(content->activeSheet(), u"settings"_s);
    }

    // Missing models are offered with their size while nothing needs attention and none is
    // fetched; the one button fetches both, a failed fetch offers to fetch again, and a fetch
    // that succeeds ends the failure.
    void missingModelsAreOfferedWithOneButton() {
        h->meetingSpeech->modelPresent = false;
        h->koreanSpeech->modelPresent = false;
        QCOMPARE(notice("actionTitle"), u"모델 받기 (약 5GB)"_s);
        h->meetingSpeech->setIsPreparing(true);
        QCOMPARE(notice("title"), u"영어 자막을 준비하고 있어요"_s);
        h->meetingSpeech->setIsPreparing(false);
        const auto english = h->meetingSpeech->preparations.hold();
        const QString failed =
            u"한국어 음성 모델을 준비하지 못해 답변 녹음을 멈췄습니다. ‘다시 받기’를 누른 "
            u"뒤 다시 말해 주세요. (원인: offline)"_s;
        h->koreanSpeech->preparations.fail(failed);
        content->performNoticeAction();
        WAIT_COMPARE(notice("title"), failed, "the notice of the failed fetch");
        QCOMPARE(notice("actionTitle"), u"다시 받기"_s);
        english->open();
        WAIT_UNTIL(h->meetingSpeech->modelPresent, "the English model");
        content->performNoticeAction();
        WAIT_UNTIL(h->koreanSpeech->modelPresent, "the Korean model");
        WAIT_UNTIL(content->property("currentNotice").isNull(), "the offer to go");
        QVERIFY(h->model().phase() != AssistPhase::error);
    }

    // A preview that fails once playing shows its own notice and leaves the phase alone.
    void failedPreviewHasItsOwnNotice() {
        h->model().setApprovedText(u"Yes."_s);
        QVERIFY(QCoro::waitFor(h->model().generateApprovedVoice()));
        h->model().preview();
        emit h->audioOutput->playbackFailed(u"The output device went away."_s);
        QCOMPARE(notice("title"), u"미리 듣기를 끝까지 재생하지 못했어요"_s);
        QCOMPARE(notice("detail"), u"The output device went away."_s);
        QCOMPARE(h->model().phase(), AssistPhase::readyToSend);
    }

    // The workflow's ElevenLabs statuses read in Korean; only a service's own failure passes.
    void elevenLabsStatusesReadInKorean() {
        const auto listing = h->elevenLabs->voiceLists.answerWhenOpened(
            {{u"v1"_s, u".Mr. X."_s, std::nullopt, std::nullopt}});
        content->setElevenLabsAPIKey(u"sk-test"_s);
        content->connectElevenLabs();
        WAIT_COMPARE(content->elevenLabsStatusText(), u"목소리를 불러오는 중이에요…"_s,
                     "the status while the voices load");
        listing->open();
        WAIT_COMPARE(content->elevenLabsStatusText(), u"연결됐어요 · Mr. X"_s,
                     "the status once the voices came");
        QCOMPARE(content->elevenLabsAPIKey(), QString());
        h->elevenLabs->voiceLists.fail(u"HTTP 401: invalid key"_s);
        QCoro::waitFor(h->model().refreshElevenLabsVoices());
        QCOMPARE(content->elevenLabsStatusText(), u"HTTP 401: invalid key"_s);
    }

    // A caption update announces the caption's own values and leaves the lists alone; a list
    // is announced when its own input changes.
    void eachDerivedValueIsAnnouncedByItsOwnInputs() {
        QSignalSpy caption(content.get(), &ContentViewModel::englishCaptionTextChanged);
        using Changed = void (ContentViewModel::*)();
        std::vector<std::unique_ptr<QSignalSpy>> lists;
        for (const Changed list :
             {&ContentViewModel::applicationOptionsChanged, &ContentViewModel::deviceOptionsChanged,
              &ContentViewModel::elevenLabsVoiceOptionsChanged,
              &ContentViewModel::voiceTilesChanged})
            lists.push_back(std::make_unique<QSignalSpy>(content.get(), list));
        h->meetingSpeech->setTranscript(u"Could you share"_s);
        QCOMPARE(caption.count(), 1);
        for (const auto& list : lists)
            QCOMPARE(list->count(), 0);
        h->audioOutput->setDevices({speakers});
        h->model().selectLocalVoice(LocalVoicePreset::all().last().id);
        QCOMPARE(caption.count(), 1);
        QCOMPARE(lists[1]->count(), 1);
        QCOMPARE(lists[3]->count(), 1);
        QCOMPARE(lists[0]->count() + lists[2]->count(), 0);
    }

    // Late captions say so from two seconds on; audio skipped to catch up is told apart.
    void captionLagAndSkippedAudioAreShown() {
        QSignalSpy lag(content.get(), &ContentViewModel::captionLagTextChanged);
        h->meetingSpeech->setLagSeconds(1);
        QCOMPARE(content->captionLagText(), QString());
        h->meetingSpeech->setLagSeconds(7);
        QCOMPARE(content->captionLagText(), u"자막이 7초 늦어요"_s);
        QCOMPARE(lag.count(), 2);
        QCOMPARE(content->captionSkipText(), QString());
        h->meetingSpeech->setSkippedSeconds(21);
        QVERIFY(content->captionSkipText().contains(u"밀린 21초를 건너뛰고"_s));
    }

    void recheckSelectsAVirtualMicrophoneUnlessOneIsChosen() {
        h->audioOutput->setDevices({speakers, blackHole, virtualMic});
        h->audioOutput->setSelectedDeviceID(speakers.id);
        content->windowBecameActive();
        QCOMPARE(h->audioOutput->selectedDeviceID(), blackHole.id);
        h->audioOutput->setSelectedDeviceID(virtualMic.id);
        content->recheckVirtualMicrophone();
        QCOMPARE(h->audioOutput->selectedDeviceID(), virtualMic.id);
        QVERIFY(content->isVirtualMicrophoneSelected());
    }

    // The mail program first, then a mail link, then the clipboard. The
    // body carries the state unless the user leaves it out.
    void reportTriesEveryRouteInTurn() {
        QCoreApplication::setApplicationVersion(u"0.1.0"_s);
        h->capture->applications = {{42, u"Zoom Workplace"_s, {}, {}}};
        QCoro::waitFor(h->model().refreshApplications());
        h->audioOutput->setDevices({speakers, blackHole});
        h->audioOutput->setSelectedDeviceID(blackHole.id);
        QCoro::waitFor(h->model().connectElevenLabs(u"key"_s));
        h->model().selectVoiceSource(VoiceSource::elevenLabs);
        h->meetingSpeech->setIsListening(true);
        h->meetingSpeech->setIsPreparing(true);
        h->meetingSpeech->setRecognitionError(u"Model missing"_s);
        const QString text = u"자막이 안 나와요 & 50% #1 + a=b"_s;
        content->setReportText("  " + text + " \n");
        delivery->composeWorks = true;
        content->sendReport();
        const QString body = text +
                             "\n\n---\n앱 버전: 0.1.0\nLinux: " + QSysInfo::prettyProductName() +
                             "\n상태: 준비 중 (Ready)\n마지막 안내: " + h->model().statusMessage() +
                             "\n회의 앱: Zoom Workplace · 목록 1개\n"
                             "회의로 보낼 마이크: BlackHole 2ch · 가상 마이크 있음\n"
                             "목소리: ElevenLabs · ElevenLabs 연결 됨\n영어 자막: 듣는 중 · 오류: "
                             "Model missing";
        QCOMPARE(delivery->composed,
                 QStringList({"support@relayo.app", "[Relayo] 문제 해결 요청", body}));
        delivery->composeWorks = false;
        content->sendReport();
        QCOMPARE(delivery->copied, QStringList{body});
        delivery->urlWorks = true;
        content->setReportIncludesState(false);
        content->sendReport();
        QCOMPARE(delivery->copied.size(), 1);
        const QUrl link = delivery->opened.last();
        QCOMPARE(link.toString(QUrl::RemoveQuery), u"mailto:support@relayo.app"_s);
        QCOMPARE(QUrlQuery(link).queryItemValue("body", QUrl::FullyDecoded), text);
        // The text stays for another attempt.
        QCOMPARE(content->reportText(), "  " + text + " \n");
    }
};

QTEST_GUILESS_MAIN(ContentViewModelTest)
#include "ContentViewModelTest.moc"
