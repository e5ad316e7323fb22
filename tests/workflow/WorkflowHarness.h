#pragma once

#include "app/workflow/AppViewModel.h"
#include "tests/workflow/fakes/WorkflowFakes.h"

#include <QSettings>
#include <QTemporaryDir>
#include <memory>

// A workflow controller over scripted fakes that it owns, with a throwaway settings file.
class WorkflowHarness {
public:
    WorkflowHarness() { relaunch(); }

    // Makes a new controller with new fakes, as a relaunch would; the settings file stays.
    void relaunch() {
        m_model.reset();
        m_model = std::make_unique<AppViewModel>(makeServices());
    }
    // New fakes, for a controller made elsewhere (the window's); the pointers below follow them.
    AppServices makeServices() {
        AppServices services;
        services.meetingSpeech = make(meetingSpeech);
        services.koreanSpeech = make(koreanSpeech);
        services.audioOutput = make(audioOutput);
        services.capture = make(capture);
        services.nebius = make(nebius);
        services.elevenLabs = make(elevenLabs);
        services.keychain = make(keychain);
        services.translationSettings = make(translationSettings);
        services.settings = settings();
        return services;
    }
    // Drops the controller and its fakes, as closing the window does.
    void close() { m_model.reset(); }
    // The settings file, seen through a QSettings of its own.
    std::unique_ptr<QSettings> settings() const {
        return std::make_unique<QSettings>(m_folder.filePath(QStringLiteral("settings.ini")),
                                           QSettings::IniFormat);
    }

    AppViewModel& model() const { return *m_model; }
    AppViewModel* operator->() const { return m_model.get(); }

    FakeCaptionService* meetingSpeech = nullptr;
    FakeSpeechRecognitionService* koreanSpeech = nullptr;
    FakeAudioOutput* audioOutput = nullptr;
    FakeSystemAudioCapture* capture = nullptr;
    FakeNebiusClient* nebius = nullptr;
    FakeElevenLabsClient* elevenLabs = nullptr;
    FakeKeychainStore* keychain = nullptr;
    FakeTranslationSettingsStore* translationSettings = nullptr;

private:
    template <typename Fake> static std::unique_ptr<Fake> make(Fake*& pointer) {
        auto fake = std::make_unique<Fake>();
        pointer = fake.get();
        return fake;
    }

    QTemporaryDir m_folder;
    std::unique_ptr<AppViewModel> m_model;
};
