#include "app/ProductionServices.h"

#include "app/services/AudioOutput.h"
#include "app/services/ElevenLabsClient.h"
#include "app/services/KeychainStore.h"
#include "app/services/NebiusClient.h"
#include "app/services/NemotronCaptionRecognizer.h"
#include "app/services/NemotronCaptionService.h"
#include "app/services/SpeechRecognitionService.h"
#include "app/services/SystemAudioCapture.h"

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
    services.settings = std::make_unique<QSettings>();
    return services;
}
