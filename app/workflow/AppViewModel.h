#pragma once

#include "app/core/Cancellation.h"
#include "app/workflow/AppServices.h"
#include "app/workflow/TranslationSettingsController.h"
#include "app/workflow/records/AssistPhase.h"
#include "app/workflow/records/CaptureApplication.h"
#include "app/workflow/records/ElevenLabsVoice.h"
#include "app/workflow/records/LocalVoicePreset.h"
#include "app/workflow/records/VoiceSource.h"

#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QUrl>
#include <QVariant>
#include <optional>
#include <qcoro/qcorotask.h>

// The workflow controller: holds everything the window shows, owns the services
// and carries out every user action. Lives on the main thread; failures become
// state (`phase` error and `statusMessage`, or `elevenLabsStatus`), never exceptions.
class AppViewModel : public QObject {
    Q_OBJECT
    Q_PROPERTY(AssistPhase phase READ phase NOTIFY phaseChanged)
    Q_PROPERTY(QList<CaptureApplication> applications READ applications NOTIFY applicationsChanged)
    Q_PROPERTY(QVariant selectedApplicationID READ selectedApplicationIDValue WRITE
                   setSelectedApplicationIDValue NOTIFY selectedApplicationIDChanged)
    Q_PROPERTY(QString translatedEnglishSentence READ translatedEnglishSentence NOTIFY
                   translatedEnglishSentenceChanged)
    Q_PROPERTY(QString liveTranslation READ liveTranslation NOTIFY liveTranslationChanged)
    Q_PROPERTY(bool isTranslating READ isTranslating NOTIFY isTranslatingChanged)
    Q_PROPERTY(
        QString approvedText READ approvedText WRITE setApprovedText NOTIFY approvedTextChanged)
    Q_PROPERTY(QString statusMessage READ statusMessage NOTIFY statusMessageChanged)
    Q_PROPERTY(QVariant synthesizedURL READ synthesizedURLValue NOTIFY synthesizedURLChanged)
    Q_PROPERTY(bool isGeneratingVoice READ isGeneratingVoice NOTIFY isGeneratingVoiceChanged)
    Q_PROPERTY(QList<ElevenLabsVoice> elevenLabsVoices READ elevenLabsVoices NOTIFY
                   elevenLabsVoicesChanged)
    Q_PROPERTY(QVariant selectedElevenLabsVoiceID READ selectedElevenLabsVoiceIDValue NOTIFY
                   selectedElevenLabsVoiceIDChanged)
    Q_PROPERTY(bool hasElevenLabsAPIKey READ hasElevenLabsAPIKey NOTIFY hasElevenLabsAPIKeyChanged)
    Q_PROPERTY(bool isLoadingElevenLabsVoices READ isLoadingElevenLabsVoices NOTIFY
                   isLoadingElevenLabsVoicesChanged)
    Q_PROPERTY(QString elevenLabsStatus READ elevenLabsStatus NOTIFY elevenLabsStatusChanged)
    Q_PROPERTY(QString koreanReply READ koreanReply NOTIFY koreanReplyChanged)
    Q_PROPERTY(bool isTranslatingReply READ isTranslatingReply NOTIFY isTranslatingReplyChanged)
    Q_PROPERTY(VoiceSource voiceSource READ voiceSource NOTIFY voiceSourceChanged)
    Q_PROPERTY(
        QString selectedLocalVoiceID READ selectedLocalVoiceID NOTIFY selectedLocalVoiceIDChanged)
    Q_PROPERTY(QString activeVoiceName READ activeVoiceName NOTIFY activeVoiceNameChanged)
    Q_PROPERTY(QObject* translationSettings READ translationSettingsObject CONSTANT)
    Q_PROPERTY(bool isReceivingReply READ isReceivingReply NOTIFY isReceivingReplyChanged)
    Q_PROPERTY(QString previewFailure READ previewFailure NOTIFY previewFailureChanged)

public:
    explicit AppViewModel(AppServices services, QObject* parent = nullptr);
    ~AppViewModel() override;

    // Observable state.
    AssistPhase phase() const { return m_phase; }
    QList<CaptureApplication> applications() const { return m_applications; }
    std::optional<qint32> selectedApplicationID() const { return m_selectedApplicationID; }
    QString translatedEnglishSentence() const { return m_translatedEnglishSentence; }
    QString liveTranslation() const { return m_liveTranslation; }
    bool isTranslating() const { return m_isTranslating; }
    QString approvedText() const { return m_approvedText; }
    QString statusMessage() const { return m_statusMessage; }
    std::optional<QUrl> synthesizedURL() const { return m_synthesizedURL; }
    bool isGeneratingVoice() const { return m_isGeneratingVoice; }
    QList<ElevenLabsVoice> elevenLabsVoices() const { return m_elevenLabsVoices; }
    std::optional<QString> selectedElevenLabsVoiceID() const { return m_selectedElevenLabsVoiceID; }
    bool hasElevenLabsAPIKey() const { return m_hasElevenLabsAPIKey; }
    bool isLoadingElevenLabsVoices() const { return m_isLoadingElevenLabsVoices; }
    QString elevenLabsStatus() const { return m_elevenLabsStatus; }
    QString koreanReply() const { return m_koreanReply; }
    bool isTranslatingReply() const { return m_isTranslatingReply; }
    VoiceSource voiceSource() const { return m_voiceSource; }
    QString selectedLocalVoiceID() const { return m_selectedLocalVoiceID; }
    // Why the last preview did not play out; empty when it did. A preview never moves the phase.
    QString previewFailure() const { return m_previewFailure; }

    // Written by the window: the picker and the editable English answer.
    void setSelectedApplicationID(std::optional<qint32> id);
    void setApprovedText(const QString& text);

    // Derived values.
    std::optional<CaptureApplication> selectedApplication() const;
    LocalVoicePreset selectedLocalVoice() const;
    std::optional<ElevenLabsVoice> selectedElevenLabsVoice() const;
    QString activeVoiceName() const;

    // Services the window reads or observes directly.
    INemotronCaptionService& meetingSpeech() const { return *m_services.meetingSpeech; }
    ISpeechRecognitionService& koreanSpeech() const { return *m_services.koreanSpeech; }
    IAudioOutput& audioOutput() const { return *m_services.audioOutput; }
    INebiusClient& nebius() const { return *m_services.nebius; }
    TranslationSettingsController& translationSettings() const { return *m_translationSettings; }
    // The reply's English is arriving; it may be edited only once complete.
    bool isReceivingReply() const { return m_isReceivingReply; }

    // Start-up and screenshot mode.
    QCoro::Task<> prepare();
    QCoro::Task<> refreshApplications();
    QCoro::Task<> applyScreenshotStep(qint64 step);

    // Meeting listening and live translation.
    QCoro::Task<> startMeetingListening();
    QCoro::Task<> stopMeetingListening();

    // The speech models, fetched ahead of the first meeting (or again after a failure); each
    // service shows its own progress.
    int missingModels() const;
    QCoro::Task<> downloadModels();
    void cancelKoreanModelDownload();

    // Korean reply, English voice and sending.
    void startKoreanReply();
    void cancelKoreanReply();
    QCoro::Task<> finishKoreanReply();
    QCoro::Task<bool> generateApprovedVoice();
    void preview();
    void sendToMeeting();

    // Voice source selection and ElevenLabs connection.
    void selectVoiceSource(VoiceSource source);
    void selectLocalVoice(const QString& id);
    void selectElevenLabsVoice(const std::optional<QString>& voiceID);
    QCoro::Task<> connectElevenLabs(QString apiKey);
    QCoro::Task<> forgetElevenLabsAPIKey();
    QCoro::Task<> refreshElevenLabsVoices();

signals:
    void phaseChanged(AssistPhase phase);
    void applicationsChanged(const QList<CaptureApplication>& applications);
    void selectedApplicationIDChanged(std::optional<qint32> selectedApplicationID);
    void translatedEnglishSentenceChanged(const QString& translatedEnglishSentence);
    void liveTranslationChanged(const QString& liveTranslation);
    void isTranslatingChanged(bool isTranslating);
    void approvedTextChanged(const QString& approvedText);
    void statusMessageChanged(const QString& statusMessage);
    void synthesizedURLChanged(std::optional<QUrl> synthesizedURL);
    void isGeneratingVoiceChanged(bool isGeneratingVoice);
    void elevenLabsVoicesChanged(const QList<ElevenLabsVoice>& elevenLabsVoices);
    void selectedElevenLabsVoiceIDChanged(std::optional<QString> selectedElevenLabsVoiceID);
    void hasElevenLabsAPIKeyChanged(bool hasElevenLabsAPIKey);
    void isLoadingElevenLabsVoicesChanged(bool isLoadingElevenLabsVoices);
    void elevenLabsStatusChanged(const QString& elevenLabsStatus);
    void koreanReplyChanged(const QString& koreanReply);
    void isTranslatingReplyChanged(bool isTranslatingReply);
    void voiceSourceChanged(VoiceSource voiceSource);
    void selectedLocalVoiceIDChanged(const QString& selectedLocalVoiceID);
    // Announced whenever an input of `activeVoiceName` is assigned.
    void activeVoiceNameChanged();
    void isReceivingReplyChanged(bool isReceivingReply);
    void previewFailureChanged(const QString& previewFailure);

private:
    QVariant selectedApplicationIDValue() const;
    void setSelectedApplicationIDValue(const QVariant& value);
    QVariant synthesizedURLValue() const;
    QVariant selectedElevenLabsVoiceIDValue() const;
    QObject* translationSettingsObject() const { return m_translationSettings.get(); }

    // The ElevenLabs group's text while no key is stored.
    static QString addAPIKeyStatus();
    void restoreVoiceChoice();
    void subscribeToServices();

    // Meeting listening: the capture of the application once the captions run.
    QCoro::Task<> captureMeeting(CaptureApplication application);
    // The application quit or the sound server went: captions stop and it can be picked again.
    QCoro::Task<> meetingAudioEnded(qint64 listenRun, CaptureApplication application);
    // Ends the capture and the captions.
    QCoro::Task<> endListening();
    // Listening and replying are independent: listening moves the phase only while no reply
    // records, is translated or is sent, and its failures then leave the phase to the reply.
    bool isReplyUnderway() const;
    void setListeningPhase(AssistPhase phase);
    void failListening(const QString& message);
    // An earlier failure is over: back to what the captions are doing.
    void clearFailure();

    QCoro::Task<> prepareCaptionModel();
    QCoro::Task<> prepareKoreanModel();

    // Live translation of the meeting captions.
    void scheduleSilenceTranslation(const QString& transcript);
    void beginTranslation(const QString& english);
    void resetLiveTranslation();
    static QCoro::Task<> translateAfterSilence(QPointer<AppViewModel> self, QString english,
                                               Cancellation cancellation);
    static QCoro::Task<> translateCaption(QPointer<AppViewModel> self, QString english,
                                          qint64 generation, Cancellation cancellation);
    // Shows a caption translation, if it is still the newest.
    void showTranslation(const QString& english, const QString& korean, qint64 generation,
                         const Cancellation& cancellation);
    // The reply's English as it streams in.
    QCoro::Task<QString> translateReply(QString korean);

    // The English voice of the approved answer: a local voice, or an ElevenLabs voice with
    // the account's key.
    struct VoiceChoice {
        LocalVoicePreset localVoice;
        std::optional<ElevenLabsVoice> elevenLabsVoice;
        QString apiKey;
        // Names the voice, so that generated audio is reused only for the voice it has.
        QString key() const;
        QString progress() const;
    };
    QCoro::Task<std::optional<VoiceChoice>> chooseVoice();
    // True when the audio of `text` in that voice is there already and is offered again.
    bool reuseGeneratedAudio(const QString& text, const QString& voiceKey);
    QCoro::Task<bool> synthesizeVoice(QString text, VoiceChoice voice);
    void dropReplyInFlight();

    void chooseApplicationAutomatically();
    void showVoiceListFailure(const QString& failure);
    void showVoices(const QList<ElevenLabsVoice>& voices);
    std::optional<ElevenLabsVoice> preferredElevenLabsVoice() const;
    void invalidateReusableAudio();
    void fail(const QString& message);
    void playbackFailed(const QString& message);
    void setPreviewFailure(const QString& failure);

    AppServices m_services;
    QList<QMetaObject::Connection> m_cancellables;
    std::optional<Cancellation> m_silenceTranslationTask;
    std::optional<Cancellation> m_activeTranslationTask;
    qint64 m_translationGeneration = 0;
    // Counts stops, so that a start that a stop overtook ends quietly.
    qint64 m_listenRun = 0;
    // The meeting's audio reaches the captions.
    bool m_isCapturing = false;
    // Counts replies started and cancelled, so that an older reply's results are dropped.
    qint64 m_replyRun = 0;
    // The playback under way is a preview.
    bool m_isPreviewing = false;
    QString m_cachedVoiceText;
    QString m_cachedVoiceKey;

    AssistPhase m_phase = AssistPhase::idle;
    QList<CaptureApplication> m_applications;
    std::optional<qint32> m_selectedApplicationID;
    QString m_translatedEnglishSentence;
    QString m_liveTranslation;
    bool m_isTranslating = false;
    QString m_approvedText;
    QString m_statusMessage;
    std::optional<QUrl> m_synthesizedURL;
    bool m_isGeneratingVoice = false;
    QList<ElevenLabsVoice> m_elevenLabsVoices;
    std::optional<QString> m_selectedElevenLabsVoiceID;
    bool m_hasElevenLabsAPIKey = false;
    bool m_isLoadingElevenLabsVoices = false;
    QString m_elevenLabsStatus;
    QString m_koreanReply;
    bool m_isTranslatingReply = false;
    VoiceSource m_voiceSource = VoiceSource::local;
    QString m_selectedLocalVoiceID;
    std::unique_ptr<TranslationSettingsController> m_translationSettings;
    bool m_isReceivingReply = false;
    QString m_previewFailure;
};
