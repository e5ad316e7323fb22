#include "tests/support/WaitUntil.h"
#include "tests/workflow/WorkflowHarness.h"

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>
#include <qcoro/qcorotask.h>

using namespace Qt::StringLiterals;

namespace {

using Choice = std::optional<qint32>;

const CaptureApplication chrome = {101, "Google Chrome", "com.google.Chrome", {}};
const CaptureApplication zoom = {2, "Zoom Workplace", "us.zoom.xos", {}};
const CaptureApplication notes = {3, "Notes", "org.gnome.Notes", {}};
const QString fragment = u"Could you share the updated schedule"_s;
const QString stopped = u"Live captions stopped. No transcript history was saved."_s;

// Longer than the silence delay by more than coarse timers may move either.
constexpr int afterSilence = 1500;

// Runs the event loop until a timer of `afterSilence` started now has fired. Timers fire in the
// order of their deadlines, so by then every silence delay that began before has ended, however
// loaded the machine.
void waitPastTheSilenceDelay() {
    QTimer later;
    later.setSingleShot(true);
    later.start(afterSilence);
    WAIT_UNTIL(!later.isActive(), "a timer longer than the silence delay");
}

// Publishes as the caption service does: the completed sentence first, then the transcript.
void publish(WorkflowHarness& h, const QString& completed, const QString& transcript) {
    h.meetingSpeech->setCompletedSentence(completed);
    h.meetingSpeech->setTranscript(transcript);
}
void publishSentence(WorkflowHarness& h, const QString& sentence) {
    publish(h, sentence, sentence);
}

void list(WorkflowHarness& h, const QList<CaptureApplication>& applications) {
    h.capture->applications = applications;
    QCoro::waitFor(h->refreshApplications());
}

const QString voiceIDKey = u"elevenLabsVoiceID"_s;

ElevenLabsVoice voice(const QString& id, std::optional<bool> isOwner = std::nullopt) {
    return {id, u"Voice "_s + id, std::nullopt, isOwner};
}

void refresh(WorkflowHarness& h, const QList<ElevenLabsVoice>& voices) {
    h.elevenLabs->voiceLists.answer(voices);
    QCoro::waitFor(h->refreshElevenLabsVoices());
}

} // namespace

// The controller over scripted fakes: start-up, the meeting application, listening, the live
// translation and the voices. ReplyTest has the reply.
class WorkflowTest : public QObject {
    Q_OBJECT

private slots:
    // The application list and the devices do not wait for the voice list, which loads beside
    // them; a failed one shows only in the ElevenLabs group. A refused permission ends start-up
    // before the list. WindowTest has a start-up that lists.
    void prepareListsApplicationsWithoutWaitingForVoices() {
        WorkflowHarness h;
        h.keychain->storedKey = u"key"_s;
        const auto voices = h.elevenLabs->voiceLists.hold();
        h.capture->applications = {notes, zoom};
        QCoro::waitFor(h->prepare());
        QCOMPARE(h->applications().size(), 2);
        QCOMPARE(h->selectedApplicationID(), Choice(zoom.id));
        QCOMPARE(h.audioOutput->refreshCount, 1);
        QVERIFY(h->isLoadingElevenLabsVoices());
        voices->open();
        WAIT_UNTIL(!h->isLoadingElevenLabsVoices(), "the voice refresh to end");

        h.relaunch();
        h.koreanSpeech->permissionsGranted = false;
        h.keychain->storedKey = u"key"_s;
        h.elevenLabs->voiceLists.fail(u"ElevenLabs rejected the API key."_s);
        h.capture->applications = {notes, zoom};
        QCoro::waitFor(h->prepare());
        QCOMPARE(h.elevenLabs->voiceListKeys, QStringList{u"key"_s});
        WAIT_COMPARE(h->elevenLabsStatus(), u"ElevenLabs rejected the API key."_s,
                     "the refused key");
        QVERIFY(h->applications().isEmpty() && h.audioOutput->refreshCount == 0);
        QCOMPARE(h->phase(), AssistPhase::error);
        QCOMPARE(h->statusMessage(), u"Microphone or speech recognition is not available."_s);
    }

    void applicationIsChosenAutomatically_data() {
        QTest::addColumn<QList<CaptureApplication>>("listed");
        QTest::addColumn<Choice>("previous");
        QTest::addColumn<Choice>("chosen");
        QTest::newRow("first of Chrome and Zoom wins")
            << QList{notes, zoom, chrome} << Choice() << Choice(zoom.id);
        QTest::newRow("user's choice stays") << QList{chrome, notes} << Choice(3) << Choice(3);
        QTest::newRow("quit choice is replaced by Chrome's bundle in any case")
            << QList{notes, CaptureApplication{9, "Browser", "COM.GOOGLE.CHROME", {}}} << Choice(42)
            << Choice(9);
    }
    void applicationIsChosenAutomatically() {
        QFETCH(QList<CaptureApplication>, listed);
        QFETCH(Choice, previous);
        WorkflowHarness h;
        list(h, listed);
        h->setSelectedApplicationID(previous);
        QCoro::waitFor(h->refreshApplications());
        QTEST(h->selectedApplicationID(), "chosen");
    }

    // A failed listing keeps the old list; a new listen clears the failure, so the model's
    // preparation is not a problem. ContentViewModelTest reads the failure's text.
    void failedListingKeepsTheOldListUntilANewListen() {
        WorkflowHarness h;
        list(h, {chrome});
        h.capture->listings.fail(u"Refused."_s);
        QCoro::waitFor(h->refreshApplications());
        QVERIFY(h->phase() == AssistPhase::error && h->applications() == QList{chrome});
        QCOMPARE(h->selectedApplicationID(), chrome.id);
        const auto preparing = h.meetingSpeech->starts.hold();
        auto start = h->startMeetingListening();
        QCOMPARE(h->phase(), AssistPhase::idle);
        preparing->open();
        QCoro::waitFor(start);
        QCOMPARE(h->phase(), AssistPhase::listening);
    }

    // The captions start before the capture; a failed capture leaves them for the next start.
    // ContentViewModelTest starts with nothing chosen.
    void failedStartStopsThere_data() {
        QTest::addColumn<bool>("captureFails");
        QTest::addColumn<QString>("status");
        QTest::newRow("captions") << false << u"The model is missing."_s;
        QTest::newRow("capture") << true << u"Recording refused."_s;
    }
    void failedStartStopsThere() {
        QFETCH(bool, captureFails);
        QFETCH(QString, status);
        WorkflowHarness h;
        list(h, {chrome});
        (captureFails ? h.capture->starts : h.meetingSpeech->starts).fail(status);
        QCoro::waitFor(h->startMeetingListening());
        QVERIFY(h->phase() == AssistPhase::error && h->statusMessage() == status);
        QCOMPARE(h.capture->startedApplications.size(), captureFails ? 1 : 0);
        QCOMPARE(h.meetingSpeech->cancelCount, 0);
    }

    // A fragment waits for the silence delay and is translated once, as it last stood; a sentence
    // that ends a pending fragment is translated at once, and the fragment's timer does not
    // repeat it.
    void captionsAreTranslatedOnce() {
        WorkflowHarness h;
        const QString longer = fragment + u" more"_s;
        publish(h, QString(), fragment);
        publish(h, QString(), longer);
        QTRY_COMPARE_WITH_TIMEOUT(h->liveTranslation(), "ko:" + longer, 60'000);
        publish(h, QString(), fragment);
        publishSentence(h, fragment + u'?');
        const QStringList requests = {longer, fragment + u'?'};
        QCOMPARE(h.nebius->koreanRequests, requests);
        waitPastTheSilenceDelay();
        QCOMPARE(h.nebius->koreanRequests, requests);
        QCOMPARE(h->liveTranslation(), "ko:" + fragment + u'?');
    }

    // Each change of the fragment restarts the delay. Checked as a lower bound on the time from
    // the last change, which a slow machine can only lengthen (timers may fire 5 % early); the
    // pause before the change is what is tested, and a longer one only weakens the check.
    void aChangedFragmentRestartsTheDelay() {
        WorkflowHarness h;
        const QString longer = fragment + u" more"_s;
        publish(h, QString(), fragment);
        QTest::qWait(500);
        QElapsedTimer sinceChange;
        sinceChange.start();
        publish(h, QString(), longer);
        QTRY_VERIFY_WITH_TIMEOUT(h.nebius->koreanRequests.contains(longer), 60'000);
        QVERIFY(sinceChange.elapsed() >= 800);
    }

    void lateResultOfAnOlderSentenceIsDropped_data() {
        QTest::addColumn<bool>("honoursCancellation");
        QTest::newRow("request aborted") << true;
        QTest::newRow("request finishes anyway") << false;
    }
    void lateResultOfAnOlderSentenceIsDropped() {
        QFETCH(bool, honoursCancellation);
        WorkflowHarness h;
        h.nebius->honoursCancellation = honoursCancellation;
        const auto first = h.nebius->koreanAnswers.answerWhenOpened(u"A 번역"_s);
        const auto second = h.nebius->koreanAnswers.answerWhenOpened(u"B 번역"_s);
        publishSentence(h, u"A."_s);
        publishSentence(h, u"B."_s);
        first->open();
        // The gate is held until the older translation has ended.
        WAIT_COMPARE(first.use_count(), 1L, "the older sentence's translation to end");
        QVERIFY(h->liveTranslation().isEmpty() && h->isTranslating());
        second->open();
        WAIT_COMPARE(h->liveTranslation(), u"B 번역"_s, "the newer sentence's translation");
        QVERIFY(h->translatedEnglishSentence() == "B." && !h->isTranslating());
    }

    // Two overlapping streams: once B began, nothing more of A reaches the screen, even when A's
    // request goes on.
    void olderStreamIsNotShownOnceANewerBegins() {
        WorkflowHarness h;
        h.nebius->honoursCancellation = false;
        const auto first = h.nebius->koreanAnswers.answerWhenOpened(u"A 번역"_s);
        const auto second = h.nebius->koreanAnswers.answerWhenOpened(u"B 번역"_s);
        publishSentence(h, u"A."_s);
        h.nebius->koreanPartials.at(0)(u"A 번"_s);
        QVERIFY(h->liveTranslation() == u"A 번"_s && h->translatedEnglishSentence() == "A.");
        QSignalSpy shown(&h.model(), &AppViewModel::liveTranslationChanged);
        publishSentence(h, u"B."_s);
        h.nebius->koreanPartials.at(1)(u"B 번"_s);
        h.nebius->koreanPartials.at(0)(u"A 번역 중"_s);
        QVERIFY(h->liveTranslation() == u"B 번"_s && h->translatedEnglishSentence() == "B.");
        first->open();
        second->open();
        WAIT_COMPARE(h->liveTranslation(), u"B 번역"_s, "the newer translation");
        for (const QList<QVariant>& values : std::as_const(shown))
            QVERIFY2(!values.at(0).toString().startsWith(u'A'),
                     qPrintable(values.at(0).toString()));
    }

    // With no service anywhere the caption card asks for one instead of failing each sentence;
    // a service chosen in the settings reaches the client and the next sentence is translated.
    void withoutAServiceNothingIsRequestedUntilOneIsChosen() {
        WorkflowHarness h;
        h.nebius->serviceAvailable = false;
        publishSentence(h, u"A."_s);
        QVERIFY(h.nebius->koreanRequests.isEmpty());
        QVERIFY(!h->isTranslating() && h->liveTranslation().isEmpty());
        QVERIFY(!h->translationSettings().hasService());

        h.nebius->serviceAvailable = true;
        TranslationSettings chosen;
        chosen.service = TranslationSettings::Service::openAICompatible;
        chosen.serverUrl = u"http://127.0.0.1:8080/v1"_s;
        QCoro::waitFor(h->translationSettings().save(chosen));
        QCOMPARE(h.nebius->usedSettings, chosen);
        QCOMPARE(h.translationSettings->stored, chosen);
        QVERIFY(h->translationSettings().hasService());
        publishSentence(h, u"B."_s);
        WAIT_COMPARE(h->liveTranslation(), u"ko:B."_s, "the newer stream's translation");
    }

    // A typed key replaces the stored one, an empty field keeps it, and only "forget" removes
    // it; a save the store refuses changes nothing but the status.
    void translationKeysStayUntilForgotten() {
        WorkflowHarness h;
        TranslationSettingsController& settings = h->translationSettings();
        const auto& stored = h.translationSettings->stored;
        settings.choose(1, {}, {}, {}, u" tf-key "_s, {});
        WAIT_COMPARE(stored.tokenFactoryKey, u"tf-key"_s, "the key to be stored");
        settings.choose(2, u" http://127.0.0.1:8080/v1 "_s, u"qwen"_s, {}, {}, {});
        WAIT_COMPARE(stored.service, TranslationSettings::Service::openAICompatible,
                     "the service to be stored");
        QVERIFY(stored.tokenFactoryKey == u"tf-key"_s && settings.hasTokenFactoryKey());
        QCOMPARE(stored.serverUrl, u"http://127.0.0.1:8080/v1"_s);
        settings.forgetKey(1);
        WAIT_UNTIL(stored.tokenFactoryKey.isEmpty() && !settings.hasTokenFactoryKey(),
                   "the key to be forgotten");

        h.translationSettings->saves.fail(u"keyring locked"_s);
        settings.choose(3, {}, {}, u"https://relay.example.org/v1/complete"_s, {}, {});
        WAIT_COMPARE(settings.status(), u"keyring locked"_s, "the keyring failure");
        QCOMPARE(settings.service(), int(TranslationSettings::Service::openAICompatible));
        QCOMPARE(h.nebius->usedSettings->service, TranslationSettings::Service::openAICompatible);
    }

    void failedTranslationKeepsTheOlderText() {
        WorkflowHarness h;
        h.nebius->koreanAnswers.fail(u"network down"_s);
        publishSentence(h, u"A."_s);
        WAIT_COMPARE(h->liveTranslation(), u"한국어 번역을 불러오지 못했습니다."_s,
                     "the failure's notice");
        publishSentence(h, u"B."_s);
        WAIT_COMPARE(h->liveTranslation(), u"ko:B."_s, "the second translation");
        h.nebius->koreanAnswers.fail(u"network down"_s);
        publishSentence(h, u"C."_s);
        WAIT_UNTIL(!h->isTranslating(), "the failed third translation to end");
        QVERIFY(h->liveTranslation() == "ko:B." && h->translatedEnglishSentence() == "B.");
    }

    void blankTranscriptClearsAtOnceButTheNewestTranslationStillLands() {
        WorkflowHarness h;
        const auto answer = h.nebius->koreanAnswers.answerWhenOpened(u"A 번역"_s);
        publishSentence(h, u"A."_s);
        h.meetingSpeech->setTranscript(u"  \n"_s);
        QVERIFY(h->liveTranslation().isEmpty() && !h->isTranslating());
        answer->open();
        WAIT_COMPARE(h->liveTranslation(), u"A 번역"_s, "the late translation");
    }

    // Captured audio feeds the captions. A restart clears the old translation before the model is
    // prepared; a stop then cancels the preparation, and the start ends without capturing or
    // overwriting what the stop showed.
    void listeningFeedsTheCaptionsUntilStopped() {
        WorkflowHarness h;
        list(h, {chrome});
        QCoro::waitFor(h->startMeetingListening());
        QCOMPARE(h->phase(), AssistPhase::listening);
        QVERIFY(
            h->statusMessage().startsWith(u"Live captions are listening only to Google Chrome."));
        h.capture->deliver(PcmBuffer());
        QCOMPARE(h.meetingSpeech->appendedCount.load(), 1);
        publishSentence(h, u"A."_s);
        WAIT_COMPARE(h->liveTranslation(), u"ko:A."_s, "the caption's translation");
        QCoro::waitFor(h->stopMeetingListening());
        QVERIFY(h.capture->stopCount == 1 && h.meetingSpeech->cancelCount == 1);
        QCOMPARE(h->liveTranslation(), u"ko:A."_s);

        const auto preparing = h.meetingSpeech->starts.hold();
        auto start = h->startMeetingListening();
        QVERIFY(h->liveTranslation().isEmpty() && h->translatedEnglishSentence().isEmpty());
        QVERIFY(h->statusMessage().startsWith(u"영어 자막 모델을 준비하고 있어요"));
        QCoro::waitFor(h->stopMeetingListening());
        preparing->open();
        QCoro::waitFor(start);
        QVERIFY(h->phase() == AssistPhase::idle && h->statusMessage() == stopped);
        QCOMPARE(h.capture->startedApplications.size(), 1);
    }

    // The meeting application quitting stops the captions and says so in Korean, naming it;
    // the list is read again, and picking the application again listens.
    void quittingApplicationCanBePickedAgain() {
        WorkflowHarness h;
        list(h, {chrome});
        QCoro::waitFor(h->startMeetingListening());
        h.capture->applications = {};
        h.capture->end();
        WAIT_UNTIL(!h->selectedApplicationID(), "the quit application to be unselected");
        QCOMPARE(h->phase(), AssistPhase::error);
        QCOMPARE(
            h->statusMessage(),
            u"Google Chrome이(가) 종료되어 자막을 멈췄어요. 회의 앱을 다시 켠 뒤 골라 주세요."_s);
        QCOMPARE(h.meetingSpeech->cancelCount, 1);
        list(h, {chrome});
        QCoro::waitFor(h->startMeetingListening());
        QCOMPARE(h->phase(), AssistPhase::listening);
    }

    // A late translation and a pending fragment outlive the controller: both end without
    // touching it (the sanitizer build runs this too) and let go of what they held.
    void tasksDoNothingOnceTheControllerIsGone() {
        WorkflowHarness h;
        const auto answer = h.nebius->koreanAnswers.answerWhenOpened(u"A 번역"_s);
        publishSentence(h, u"A."_s);
        h.meetingSpeech->setTranscript(fragment);
        h.close();
        answer->open();
        WAIT_COMPARE(answer.use_count(), 1L, "the late translation to end");
        waitPastTheSilenceDelay();
    }

    // The stored choice stays through an empty or failed listing, for an account that lists
    // its voice again.
    void refreshChoosesTheVoice_data() {
        QTest::addColumn<QList<ElevenLabsVoice>>("voices");
        QTest::addColumn<QVariant>("stored");
        QTest::addColumn<QString>("failure");
        QTest::addColumn<QString>("chosen");
        const QList mixed = {voice("a", false), voice("b"), voice("c", true), voice("d", true)};
        const QString none;
        QTest::newRow("stored choice still there") << mixed << QVariant("b") << none << u"b"_s;
        QTest::newRow("stored choice gone: the own voice")
            << mixed << QVariant("x") << none << u"c"_s;
        QTest::newRow("listing fails")
            << mixed << QVariant("b") << u"ElevenLabs rejected the API key."_s << none;
    }
    void refreshChoosesTheVoice() {
        QFETCH(QList<ElevenLabsVoice>, voices);
        QFETCH(QVariant, stored);
        QFETCH(QString, failure);
        QFETCH(QString, chosen);
        WorkflowHarness h;
        if (stored.isValid())
            h.settings()->setValue(voiceIDKey, stored);
        h.keychain->storedKey = u"key"_s;
        if (!failure.isEmpty())
            h.elevenLabs->voiceLists.fail(failure);
        refresh(h, voices);
        QCOMPARE(h.elevenLabs->voiceListKeys, QStringList{u"key"_s});
        QCOMPARE(h->elevenLabsVoices(), failure.isEmpty() ? voices : QList<ElevenLabsVoice>());
        QCOMPARE(h->selectedElevenLabsVoiceID().value_or(QString()), chosen);
        QCOMPARE(h.settings()->value(voiceIDKey), chosen.isEmpty() ? stored : QVariant(chosen));
        QVERIFY(chosen.isEmpty() ||
                h->elevenLabsStatus() == "Connected securely. Output voice: Voice " + chosen + '.');
        QVERIFY(!h->isLoadingElevenLabsVoices());
    }

    // A blank key or a failed save connects nothing; a good key is saved trimmed, never in the
    // settings, and a refresh that finds it gone disconnects. ContentViewModelTest reads the
    // statuses.
    void connectingSavesTheTrimmedKey() {
        WorkflowHarness h;
        QCoro::waitFor(h->connectElevenLabs(u"   "_s));
        h.keychain->saves.fail(u"The key store is locked."_s);
        QCoro::waitFor(h->connectElevenLabs(u"sk-123"_s));
        QCOMPARE(h->elevenLabsStatus(), u"The key store is locked."_s);
        QVERIFY(!h.keychain->storedKey && !h->hasElevenLabsAPIKey());
        QVERIFY(h.elevenLabs->voiceListKeys.isEmpty() && h->phase() == AssistPhase::idle);

        h.elevenLabs->voiceLists.answer({voice("a")});
        QCoro::waitFor(h->connectElevenLabs(u"  sk-123\n"_s));
        QCOMPARE(h.elevenLabs->voiceListKeys, QStringList{u"sk-123"_s});
        h.keychain->storedKey = QString();
        QCoro::waitFor(h->refreshElevenLabsVoices());
        QVERIFY(!h->hasElevenLabsAPIKey() && h.elevenLabs->voiceListKeys.size() == 1);
        h.close();
        QFile settings(h.settings()->fileName());
        QVERIFY(settings.open(QIODevice::ReadOnly) && !settings.readAll().contains("sk-123"));
    }

    // Another ElevenLabs voice, chosen or left by the account, voices the answer anew (ReplyTest
    // changes the free voice and the source). The choices outlive a relaunch; forgetting the key
    // clears all but the source.
    void voiceChoicesLiveThroughRelaunchesUntilForgotten() {
        WorkflowHarness h;
        h->selectLocalVoice(u"daniel"_s);
        h.elevenLabs->voiceLists.answer({voice("a")});
        QCoro::waitFor(h->connectElevenLabs(u"key"_s));
        h->selectVoiceSource(VoiceSource::elevenLabs);
        h->setApprovedText(u"Hello."_s);
        QVERIFY(QCoro::waitFor(h->generateApprovedVoice()));
        refresh(h, {voice("a"), voice("b")});
        QSignalSpy names(&h.model(), &AppViewModel::activeVoiceNameChanged);
        h->selectElevenLabsVoice(u"b"_s);
        QVERIFY(h->activeVoiceName() == "Voice b" && names.size() == 1 && !h->synthesizedURL());
        QVERIFY(QCoro::waitFor(h->generateApprovedVoice()));
        refresh(h, {voice("c")});
        QVERIFY(QCoro::waitFor(h->generateApprovedVoice()));
        QCOMPARE(h.elevenLabs->synthesizedVoiceIDs, QStringList({"a", "b", "c"}));

        h.relaunch();
        QVERIFY(h->voiceSource() == VoiceSource::elevenLabs &&
                h->selectedLocalVoiceID() == "daniel");
        h.keychain->storedKey = u"key"_s;
        refresh(h, {voice("a"), voice("c")});
        QCOMPARE(h->selectedElevenLabsVoiceID(), u"c"_s);
        QCoro::waitFor(h->forgetElevenLabsAPIKey());
        QVERIFY(!h.keychain->storedKey && !h->selectedElevenLabsVoiceID());
        QVERIFY(!h.settings()->value(voiceIDKey).isValid() &&
                h->voiceSource() == VoiceSource::elevenLabs);
        QCOMPARE(h->activeVoiceName(), u"Connect ElevenLabs"_s);
    }
};

QTEST_GUILESS_MAIN(WorkflowTest)
#include "WorkflowTest.moc"
