#include "app/ProductionServices.h"

#include "app/services/audio/AudioOutput.h"
#include "app/services/audio/SystemAudioCapture.h"
#include "app/services/captions/NemotronCaptionRecognizer.h"
#include "app/services/captions/NemotronCaptionService.h"
#include "app/services/keystore/KeychainStore.h"
#include "app/services/keystore/TranslationSettingsStore.h"
#include "app/services/network/ElevenLabsClient.h"
#include "app/services/network/NebiusClient.h"
#include "app/services/reply/SpeechRecognitionService.h"

AppServices ProductionServices::make() {
    AppServices services;
    services.meetingSpeech =
        std::make_unique<NemotronCaptionService>(std::make_unique<NemotronCaptionRecognizer>());
    services.koreanSpeech = std::make_unique<SpeechRecognitionService>(QStringLiteral("ko-KR"));
    services.audioOutput = std::make_unique<AudioOutput>();
    services.capture = std::make_unique<SystemAudioCapture>();
    services.nebius = std::make_unique<NebiusClient>();
    services.elevenLabs = std::make_unique<ElevenLabsClient>();
    services.keychain = std::make_unique<KeychainStore>();
    services.translationSettings =
        std::make_unique<TranslationSettingsStore>(std::make_unique<QSettings>());
    services.settings = std::make_unique<QSettings>();
    return services;
}
