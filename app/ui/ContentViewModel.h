#pragma once

#include "app/ui/Notice.h"
#include "app/ui/TroubleshootingReport.h"
#include "app/workflow/AppViewModel.h"

#include <QColor>
#include <QObject>
#include <QPointer>
#include <QTimer>
#include <QVariant>
#include <QtQml/qqmlregistration.h>
#include <initializer_list>
#include <memory>

// What the window binds to: the workflow controller and the services it
// observes, the values derived from them, the window's own state (open sheet,
// typed key, support request) and the actions behind its controls. Every
// action starts a controller operation and returns at once; QML only lays out.
class ContentViewModel : public QObject {
    Q_OBJECT
    QML_ELEMENT
    QML_UNCREATABLE("Made by the program entry")

    Q_PROPERTY(QObject* model READ modelObject CONSTANT)
    Q_PROPERTY(QObject* meetingSpeech READ meetingSpeechObject CONSTANT)
    Q_PROPERTY(QObject* audioOutput READ audioOutputObject CONSTANT)
    Q_PROPERTY(QVariantList guideBlocks READ guideBlocks CONSTANT)
    Q_PROPERTY(QString virtualMicrophoneCommand READ virtualMicrophoneCommand CONSTANT)

    Q_PROPERTY(bool isSpeakingKorean READ isSpeakingKorean NOTIFY isSpeakingKoreanChanged)
    Q_PROPERTY(QString phaseText READ phaseText NOTIFY phaseTextChanged)
    Q_PROPERTY(QColor phaseColor READ phaseColor NOTIFY phaseColorChanged)
    Q_PROPERTY(bool isLivePhase READ isLivePhase NOTIFY isLivePhaseChanged)
    Q_PROPERTY(bool sentAndDone READ sentAndDone NOTIFY sentAndDoneChanged)
    Q_PROPERTY(bool hasEnglishAnswer READ hasEnglishAnswer NOTIFY hasEnglishAnswerChanged)
    Q_PROPERTY(bool hasBlackHole READ hasBlackHole NOTIFY hasBlackHoleChanged)
    Q_PROPERTY(bool isVirtualMicrophoneSelected READ isVirtualMicrophoneSelected NOTIFY
                   isVirtualMicrophoneSelectedChanged)
    Q_PROPERTY(int currentStep READ currentStep NOTIFY currentStepChanged)
    Q_PROPERTY(QVariant currentNotice READ currentNoticeValue NOTIFY currentNoticeChanged)
    Q_PROPERTY(
        QString elevenLabsStatusText READ elevenLabsStatusText NOTIFY elevenLabsStatusTextChanged)
    Q_PROPERTY(QString listenSubtitle READ listenSubtitle NOTIFY listenSubtitleChanged)
    Q_PROPERTY(QString modelStatusText READ modelStatusText NOTIFY modelStatusTextChanged)
    Q_PROPERTY(QString koreanModelStatusText READ koreanModelStatusText NOTIFY
                   koreanModelStatusTextChanged)
    Q_PROPERTY(QString englishCaptionText READ englishCaptionText NOTIFY englishCaptionTextChanged)
    Q_PROPERTY(QString captionLagText READ captionLagText NOTIFY captionLagTextChanged)
    Q_PROPERTY(QString captionSkipText READ captionSkipText NOTIFY captionSkipTextChanged)
    Q_PROPERTY(
        QVariantList applicationOptions READ applicationOptions NOTIFY applicationOptionsChanged)
    Q_PROPERTY(QVariantList deviceOptions READ deviceOptions NOTIFY deviceOptionsChanged)
    Q_PROPERTY(QVariantList elevenLabsVoiceOptions READ elevenLabsVoiceOptions NOTIFY
                   elevenLabsVoiceOptionsChanged)
    Q_PROPERTY(QVariantList voiceTiles READ voiceTiles NOTIFY voiceTilesChanged)
    Q_PROPERTY(bool isSelectedElevenLabsVoiceAvailable READ isSelectedElevenLabsVoiceAvailable
                   NOTIFY isSelectedElevenLabsVoiceAvailableChanged)

    Q_PROPERTY(QString activeSheet READ activeSheet NOTIFY activeSheetChanged)
    Q_PROPERTY(QString elevenLabsAPIKey READ elevenLabsAPIKey WRITE setElevenLabsAPIKey NOTIFY
                   elevenLabsAPIKeyChanged)
    Q_PROPERTY(QString reportText READ reportText WRITE setReportText NOTIFY reportTextChanged)
    Q_PROPERTY(bool reportIncludesState READ reportIncludesState WRITE setReportIncludesState NOTIFY
                   reportIncludesStateChanged)
    Q_PROPERTY(QVariant reportNote READ reportNoteValue NOTIFY reportNoteChanged)
    Q_PROPERTY(QVariant setupError READ setupErrorValue NOTIFY setupErrorChanged)

public:
    // The guide is read from `guideFolder`; requests go out through `delivery`.
    ContentViewModel(AppViewModel& model, std::unique_ptr<ReportDelivery> delivery,
                     QString guideFolder, QObject* parent = nullptr);
    ~ContentViewModel() override;

    AppViewModel& model() const { return *m_model; }

    bool isSpeakingKorean() const;
    QString phaseText() const;
    QColor phaseColor() const;
    bool isLivePhase() const;
    bool sentAndDone() const;
    bool hasEnglishAnswer() const;
    bool hasBlackHole() const;
    bool isVirtualMicrophoneSelected() const;
    int currentStep() const;
    std::optional<Notice> currentNotice() const;
    QString elevenLabsStatusText() const;
    QString listenSubtitle() const;
    QString modelStatusText() const;
    QString koreanModelStatusText() const;
    QString englishCaptionText() const;
    QString captionLagText() const;
    QString captionSkipText() const;
    QVariantList applicationOptions() const;
    QVariantList deviceOptions() const;
    QVariantList elevenLabsVoiceOptions() const;
    QVariantList voiceTiles() const;
    bool isSelectedElevenLabsVoiceAvailable() const;
    QVariantList guideBlocks() const { return m_guideBlocks; }
    QString virtualMicrophoneCommand() const;
    DiagnosticsSnapshot diagnosticsSnapshot() const;

    // "" (no sheet), "settings" or "guide".
    QString activeSheet() const { return m_activeSheet; }
    QString elevenLabsAPIKey() const { return m_elevenLabsAPIKey; }
    void setElevenLabsAPIKey(const QString& key);
    QString reportText() const { return m_reportText; }
    void setReportText(const QString& text);
    bool reportIncludesState() const { return m_reportIncludesState; }
    void setReportIncludesState(bool includes);
    std::optional<QString> reportNote() const { return m_reportNote; }

    // Step 1.
    Q_INVOKABLE void refreshApplications();
    Q_INVOKABLE void startMeetingListening();
    Q_INVOKABLE void stopMeetingListening();
    // Step 2.
    Q_INVOKABLE void startKoreanReply();
    Q_INVOKABLE void cancelKoreanReply();
    Q_INVOKABLE void finishKoreanReply();
    // Step 3: both voice the answer first and act only when the audio is ready.
    Q_INVOKABLE void previewAnswer();
    Q_INVOKABLE void sendAnswer();
    // Voices.
    Q_INVOKABLE void chooseLocalVoice(const QString& presetID);
    Q_INVOKABLE void chooseElevenLabsSource();
    Q_INVOKABLE void chooseElevenLabsVoice(const QVariant& voiceID);
    Q_INVOKABLE void connectElevenLabs();
    Q_INVOKABLE void forgetElevenLabsAPIKey();
    Q_INVOKABLE void refreshElevenLabsVoices();
    // Output devices and the virtual microphone.
    Q_INVOKABLE void refreshDevices();
    Q_INVOKABLE void recheckVirtualMicrophone();
    Q_INVOKABLE void createVirtualMicrophone();
    Q_INVOKABLE void copyVirtualMicrophoneCommand();
    Q_INVOKABLE void openSoundSettings();
    // Notices and sheets.
    Q_INVOKABLE void performNoticeAction();
    // The speech models: fetched ahead of a meeting, or again after a failure.
    Q_INVOKABLE void downloadModels();
    Q_INVOKABLE void cancelKoreanModelDownload();
    Q_INVOKABLE void openSettings();
    Q_INVOKABLE void openGuide();
    Q_INVOKABLE void closeSheet();
    // Support request.
    Q_INVOKABLE void sendReport();
    QString diagnostics() const;

    // The window became the active one: the application list and the virtual
    // microphone may have changed meanwhile.
    void windowBecameActive();

signals:
    void isSpeakingKoreanChanged();
    void phaseTextChanged();
    void phaseColorChanged();
    void isLivePhaseChanged();
    void sentAndDoneChanged();
    void hasEnglishAnswerChanged();
    void hasBlackHoleChanged();
    void isVirtualMicrophoneSelectedChanged();
    void currentStepChanged();
    void currentNoticeChanged();
    void elevenLabsStatusTextChanged();
    void listenSubtitleChanged();
    void modelStatusTextChanged();
    void koreanModelStatusTextChanged();
    void englishCaptionTextChanged();
    void captionLagTextChanged();
    void captionSkipTextChanged();
    void applicationOptionsChanged();
    void deviceOptionsChanged();
    void elevenLabsVoiceOptionsChanged();
    void voiceTilesChanged();
    void isSelectedElevenLabsVoiceAvailableChanged();
    void activeSheetChanged();
    void elevenLabsAPIKeyChanged();
    void reportTextChanged();
    void reportIncludesStateChanged();
    void reportNoteChanged();
    void setupErrorChanged();

private:
    QObject* modelObject() const;
    QObject* meetingSpeechObject() const;
    QObject* audioOutputObject() const;
    QVariant currentNoticeValue() const;
    QVariant reportNoteValue() const;
    QVariant setupErrorValue() const;
    void setActiveSheet(const QString& sheet);
    void setReportNote(std::optional<QString> note);
    void setSetupError(std::optional<QString> error);
    void connectDerivedValues();
    template <typename Sender, typename Signal>
    void announceOn(Sender* sender, Signal changed,
                    std::initializer_list<void (ContentViewModel::*)()> values);
    void pollVirtualMicrophone();
    QCoro::Task<> deliverReport();
    QCoro::Task<> createVirtualMicrophoneTask();

    QPointer<AppViewModel> m_model;
    std::unique_ptr<ReportDelivery> m_delivery;
    QVariantList m_guideBlocks;
    QTimer m_virtualMicrophonePoll;
    QString m_activeSheet;
    QString m_elevenLabsAPIKey;
    QString m_reportText;
    bool m_reportIncludesState = true;
    std::optional<QString> m_reportNote;
    std::optional<QString> m_setupError;
};
