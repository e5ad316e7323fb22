#pragma once

#include "app/workflow/contracts/IAudioOutput.h"
#include "app/workflow/contracts/IElevenLabsClient.h"
#include "app/workflow/contracts/IKeychainStore.h"
#include "app/workflow/contracts/INebiusClient.h"
#include "app/workflow/contracts/INemotronCaptionService.h"
#include "app/workflow/contracts/ISpeechRecognitionService.h"
#include "app/workflow/contracts/ISystemAudioCapture.h"
#include "app/workflow/contracts/ITranslationSettingsStore.h"
#include "tests/workflow/fakes/Script.h"

#include <QFile>
#include <QStringList>
#include <QTemporaryDir>
#include <atomic>
#include <tuple>

// The workflow's services, scripted; tests publish their state with the contracts' setters.

// Synthesised audio: a real (empty) file per call, so players get a path that exists.
inline QUrl emptyFile(const QTemporaryDir& folder, const QString& name) {
    QFile(folder.filePath(name)).open(QIODevice::WriteOnly);
    return QUrl::fromLocalFile(folder.filePath(name));
}

class FakeAudioOutput : public IAudioOutput {
public:
    struct Playback {
        QUrl file;
        std::optional<quint32> deviceID;
    };

    void refreshDevices() override { ++refreshCount; }
    QCoro::Task<QUrl> synthesize(QString text, QString voice) override {
        synthesizedTexts << text;
        synthesizedVoices << voice;
        const QString name = QStringLiteral("voice-%1.aiff").arg(synthesizedTexts.size());
        co_return co_await syntheses.next(emptyFile(m_files, name));
    }
    void play(const QUrl& file, std::optional<quint32> deviceID) override {
        if (playFailure)
            throw ServiceError(*playFailure, QStringLiteral("SpeechOutput"), 2);
        playbacks.append({file, deviceID});
        setIsPlaying(true);
    }
    void stop() override { setIsPlaying(false); }
    QCoro::Task<> createVirtualMicrophone() override { co_return; }

    Script<QUrl> syntheses;
    QStringList synthesizedTexts, synthesizedVoices;
    QList<Playback> playbacks;
    std::optional<QString> playFailure;
    int refreshCount = 0;

private:
    QTemporaryDir m_files;
};

class FakeCaptionService : public INemotronCaptionService {
public:
    QCoro::Task<> start() override {
        setCompletedSentence(QString());
        setTranscript(QString());
        co_await starts.next({});
    }
    void append(const PcmBuffer&) override { ++appendedCount; }
    QCoro::Task<> cancel() override {
        ++cancelCount;
        co_return;
    }
    bool hasModel() const override { return modelPresent; }
    QCoro::Task<> prepareModel() override {
        co_await preparations.next({});
        modelPresent = true;
    }

    bool modelPresent = true;
    Script<std::tuple<>> starts, preparations;
    int cancelCount = 0;
    std::atomic<int> appendedCount = 0;
};

class FakeElevenLabsClient : public IElevenLabsClient {
public:
    QCoro::Task<QList<ElevenLabsVoice>> voices(QString apiKey) override {
        voiceListKeys << apiKey;
        co_return co_await voiceLists.next({});
    }
    QCoro::Task<QUrl> synthesize(QString text, QString voiceID, QString) override {
        synthesizedTexts << text;
        synthesizedVoiceIDs << voiceID;
        const QString name = QStringLiteral("elevenlabs-%1.mp3").arg(synthesizedTexts.size());
        co_return co_await syntheses.next(emptyFile(m_files, name));
    }

    Script<QList<ElevenLabsVoice>> voiceLists;
    Script<QUrl> syntheses;
    QStringList voiceListKeys, synthesizedTexts, synthesizedVoiceIDs;

private:
    QTemporaryDir m_files;
};

class FakeKeychainStore : public IKeychainStore {
public:
    QCoro::Task<> saveAPIKey(QString key) override {
        co_await saves.next({});
        storedKey = key;
    }
    QCoro::Task<std::optional<QString>> loadAPIKey() override {
        co_await loads.next({});
        // A copy: QCoro's co_return moves from an lvalue.
        co_return std::optional<QString>(storedKey);
    }
    QCoro::Task<> deleteAPIKey() override {
        storedKey.reset();
        co_return;
    }

    std::optional<QString> storedKey;
    Script<std::tuple<>> saves, loads;
};

// Translation both ways; unscripted calls answer "ko:<text>" and "en:<text>". Each call's
// partial-text handler is kept, so a test can stream text into it.
class FakeNebiusClient : public INebiusClient {
public:
    QCoro::Task<QString> translateToKorean(QString english, Cancellation cancellation,
                                           PartialText onPartial) override {
        koreanRequests << english;
        koreanPartials << onPartial;
        co_return co_await koreanAnswers.next("ko:" + english, passed(cancellation));
    }
    QCoro::Task<QString> translateToEnglish(QString korean, Cancellation cancellation,
                                            PartialText onPartial) override {
        englishRequests << korean;
        englishPartials << onPartial;
        co_return co_await englishAnswers.next("en:" + korean, passed(cancellation));
    }
    void useSettings(TranslationSettings settings) override { usedSettings = settings; }
    bool hasService() const override { return serviceAvailable; }

    Script<QString> koreanAnswers, englishAnswers;
    QStringList koreanRequests, englishRequests;
    QList<PartialText> koreanPartials, englishPartials;
    std::optional<TranslationSettings> usedSettings;
    bool serviceAvailable = true;
    // Off: a cancelled request still delivers its result, as a real one may.
    bool honoursCancellation = true;

private:
    Cancellation passed(const Cancellation& c) const {
        return honoursCancellation ? c : Cancellation();
    }
};

// The translation settings, kept in memory.
class FakeTranslationSettingsStore : public ITranslationSettingsStore {
public:
    QCoro::Task<TranslationSettings> load() override { co_return stored; }
    QCoro::Task<> save(TranslationSettings settings) override {
        co_await saves.next({});
        stored = std::move(settings);
    }

    TranslationSettings stored;
    Script<std::tuple<>> saves;
};

class FakeSpeechRecognitionService : public ISpeechRecognitionService {
public:
    FakeSpeechRecognitionService() : ISpeechRecognitionService(QStringLiteral("ko-KR")) {}

    QCoro::Task<bool> requestPermissions() override { co_return permissionsGranted; }
    bool hasModel() const override { return modelPresent; }
    QCoro::Task<> prepareModel() override {
        co_await preparations.next({});
        modelPresent = true;
    }
    void cancelModelDownload() override { ++cancelledDownloads; }
    void startMicrophone() override {
        if (startFailure)
            throw ServiceError(*startFailure, QStringLiteral("Speech"), 1);
        setTranscript(QString());
        setIsListening(true);
    }
    void stop() override {
        ++stopCount;
        setIsListening(false);
    }
    // Stops, then, once `finishes` lets it, publishes `finalTranscript` (the words decoded only
    // at the end) or throws `finishFailure`.
    QCoro::Task<QString> finish() override {
        stop();
        co_await finishes.next({});
        if (finishFailure)
            throw ServiceError(*finishFailure, QStringLiteral("Speech"), 2);
        if (finalTranscript)
            setTranscript(*finalTranscript);
        co_return transcript();
    }

    bool permissionsGranted = true;
    std::optional<QString> startFailure;
    std::optional<QString> finalTranscript;
    std::optional<QString> finishFailure;
    Script<std::tuple<>> finishes, preparations;
    bool modelPresent = true;
    int stopCount = 0;
    int cancelledDownloads = 0;
};

// The per-application capture; `deliver` hands a block to the running capture.
class FakeSystemAudioCapture : public ISystemAudioCapture {
public:
    QCoro::Task<QList<CaptureApplication>> availableApplications() override {
        co_return co_await listings.next(applications);
    }
    QCoro::Task<> start(CaptureApplication application, BufferHandler onAudioBuffer,
                        EndHandler onEnded) override {
        startedApplications << application;
        co_await starts.next({});
        m_handler = std::move(onAudioBuffer);
        m_onEnded = std::move(onEnded);
    }
    QCoro::Task<> stop() override {
        ++stopCount;
        m_handler = nullptr;
        m_onEnded = nullptr;
        co_return;
    }
    void deliver(const PcmBuffer& buffer) const {
        if (m_handler)
            m_handler(buffer);
    }
    // The application quits under the running capture.
    void end() {
        m_handler = nullptr;
        if (const auto onEnded = std::exchange(m_onEnded, nullptr))
            onEnded();
    }

    QList<CaptureApplication> applications;
    Script<QList<CaptureApplication>> listings;
    Script<std::tuple<>> starts;
    QList<CaptureApplication> startedApplications;
    int stopCount = 0;

private:
    BufferHandler m_handler;
    EndHandler m_onEnded;
};
