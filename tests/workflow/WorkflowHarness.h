#pragma once

#include "app/workflow/AppViewModel.h"
#include "tests/workflow/fakes/FakeAudioOutput.h"
#include "tests/workflow/fakes/FakeCaptionService.h"
#include "tests/workflow/fakes/FakeElevenLabsClient.h"
#include "tests/workflow/fakes/FakeKeychainStore.h"
#include "tests/workflow/fakes/FakeNebiusClient.h"
#include "tests/workflow/fakes/FakeSpeechRecognitionService.h"
#include "tests/workflow/fakes/FakeSystemAudioCapture.h"

#include <QTemporaryDir>
#include <memory>

// A workflow controller over scripted fakes, with its settings in a throwaway
// file. The fakes belong to the controller; the pointers here are for scripting.
class WorkflowHarness {
public:
    WorkflowHarness();

    // Makes a new controller with new fakes, as a relaunch would; the settings file stays.
    void relaunch();
    // New fakes, for a controller made elsewhere (the window's); the pointers below follow them.
    AppServices makeServices();
    // Drops the controller and its fakes, as closing the window does.
    void close();
    QString settingsPath() const;
    // The stored setting, read through a separate QSettings on the same file.
    QVariant storedSetting(const QString& key) const;
    void storeSetting(const QString& key, const QVariant& value) const;

    AppViewModel& model() const { return *m_model; }
    AppViewModel* operator->() const { return m_model.get(); }

    FakeCaptionService* meetingSpeech = nullptr;
    FakeSpeechRecognitionService* koreanSpeech = nullptr;
    FakeAudioOutput* audioOutput = nullptr;
    FakeSystemAudioCapture* capture = nullptr;
    FakeNebiusClient* nebius = nullptr;
    FakeElevenLabsClient* elevenLabs = nullptr;
    FakeKeychainStore* keychain = nullptr;

private:
    QTemporaryDir m_folder;
    std::unique_ptr<AppViewModel> m_model;
};
