#pragma once

#include "app/workflow/contracts/IAudioOutput.h"
#include "app/workflow/contracts/IElevenLabsClient.h"
#include "app/workflow/contracts/IKeychainStore.h"
#include "app/workflow/contracts/INebiusClient.h"
#include "app/workflow/contracts/INemotronCaptionService.h"
#include "app/workflow/contracts/ISpeechRecognitionService.h"
#include "app/workflow/contracts/ISystemAudioCapture.h"
#include "app/workflow/contracts/ITranslationSettingsStore.h"

#include <QSettings>
#include <memory>

// The services the workflow controller owns, handed over at its construction
// and never replaced. Production code makes them in this order.
struct AppServices {
    std::unique_ptr<INemotronCaptionService> meetingSpeech;
    std::unique_ptr<ISpeechRecognitionService> koreanSpeech;
    std::unique_ptr<IAudioOutput> audioOutput;
    std::unique_ptr<ISystemAudioCapture> capture;
    std::unique_ptr<INebiusClient> nebius;
    std::unique_ptr<IElevenLabsClient> elevenLabs;
    std::unique_ptr<IKeychainStore> keychain;
    std::unique_ptr<ITranslationSettingsStore> translationSettings;
    // Where the voice choice is kept; tests hand in a throwaway file.
    std::unique_ptr<QSettings> settings;
};
