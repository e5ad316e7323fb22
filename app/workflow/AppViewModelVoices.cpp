#include "app/workflow/AppViewModel.h"

#include "app/core/Observable.h"
#include "app/core/ServiceError.h"
#include "app/workflow/FirstWhere.h"

namespace {

const QString voiceSourceKey = QStringLiteral("voiceSource");
const QString localVoiceIDKey = QStringLiteral("localVoiceID");
const QString elevenLabsVoiceIDKey = QStringLiteral("elevenLabsVoiceID");

QString connectedStatus(const ElevenLabsVoice& voice) {
    return QStringLiteral("Connected securely. Output voice: ") + voice.name + QStringLiteral(".");
}

} // namespace

QString AppViewModel::addAPIKeyStatus() {
    return QStringLiteral("Add your API key to use your own ElevenLabs voice.");
}

void AppViewModel::restoreVoiceChoice() {
    QSettings& settings = *m_services.settings;
    if (auto source = VoiceSources::fromRawValue(settings.value(voiceSourceKey).toString()))
        assign(this, m_voiceSource, *source, &AppViewModel::voiceSourceChanged);
    const QString localVoiceID = settings.value(localVoiceIDKey).toString();
    if (firstWhere(LocalVoicePreset::all(),
                   [&](const auto& preset) { return preset.id == localVoiceID; }))
        assign(this, m_selectedLocalVoiceID, localVoiceID,
               &AppViewModel::selectedLocalVoiceIDChanged);
}

void AppViewModel::invalidateReusableAudio() {
    assign(this, m_synthesizedURL, std::nullopt, &AppViewModel::synthesizedURLChanged);
    m_cachedVoiceText.clear();
    m_cachedVoiceKey.clear();
}

void AppViewModel::selectVoiceSource(VoiceSource source) {
    assign(this, m_voiceSource, source, &AppViewModel::voiceSourceChanged);
    m_services.settings->setValue(voiceSourceKey, VoiceSources::rawValue(source));
    invalidateReusableAudio();
}

void AppViewModel::selectLocalVoice(const QString& id) {
    assign(this, m_selectedLocalVoiceID, id, &AppViewModel::selectedLocalVoiceIDChanged);
    m_services.settings->setValue(localVoiceIDKey, id);
    invalidateReusableAudio();
}

void AppViewModel::selectElevenLabsVoice(const std::optional<QString>& voiceID) {
    assign(this, m_selectedElevenLabsVoiceID, voiceID,
           &AppViewModel::selectedElevenLabsVoiceIDChanged);
    invalidateReusableAudio();
    if (voiceID)
        m_services.settings->setValue(elevenLabsVoiceIDKey, *voiceID);
    else
        m_services.settings->remove(elevenLabsVoiceIDKey);
    if (const auto voice = selectedElevenLabsVoice())
        assign(this, m_elevenLabsStatus, connectedStatus(*voice),
               &AppViewModel::elevenLabsStatusChanged);
}

QCoro::Task<> AppViewModel::connectElevenLabs(QString apiKey) {
    const QString key = apiKey.trimmed();
    if (key.isEmpty()) {
        assign(this, m_elevenLabsStatus, QStringLiteral("Enter an ElevenLabs API key first."),
               &AppViewModel::elevenLabsStatusChanged);
        co_return;
    }
    QPointer self(this);
    std::optional<QString> failure;
    try {
        co_await m_services.keychain->saveAPIKey(key);
    } catch (const std::exception& error) {
        failure = describe(error);
    }
    if (!self)
        co_return;
    if (failure) {
        assign(this, m_elevenLabsStatus, *failure, &AppViewModel::elevenLabsStatusChanged);
        co_return;
    }
    assign(this, m_hasElevenLabsAPIKey, true, &AppViewModel::hasElevenLabsAPIKeyChanged);
    co_await refreshElevenLabsVoices();
}

QCoro::Task<> AppViewModel::forgetElevenLabsAPIKey() {
    QPointer self(this);
    co_await m_services.keychain->deleteAPIKey();
    if (!self)
        co_return;
    assign(this, m_hasElevenLabsAPIKey, false, &AppViewModel::hasElevenLabsAPIKeyChanged);
    assign(this, m_elevenLabsVoices, QList<ElevenLabsVoice>(),
           &AppViewModel::elevenLabsVoicesChanged);
    assign(this, m_selectedElevenLabsVoiceID, std::nullopt,
           &AppViewModel::selectedElevenLabsVoiceIDChanged);
    invalidateReusableAudio();
    m_services.settings->remove(elevenLabsVoiceIDKey);
    assign(this, m_elevenLabsStatus, QStringLiteral("ElevenLabs API key removed from the keyring."),
           &AppViewModel::elevenLabsStatusChanged);
}

QCoro::Task<> AppViewModel::refreshElevenLabsVoices() {
    QPointer self(this);
    const auto key = co_await m_services.keychain->loadAPIKey();
    if (!self)
        co_return;
    if (!key || key->isEmpty()) {
        assign(this, m_hasElevenLabsAPIKey, false, &AppViewModel::hasElevenLabsAPIKeyChanged);
        assign(this, m_elevenLabsStatus, addAPIKeyStatus(), &AppViewModel::elevenLabsStatusChanged);
        co_return;
    }
    assign(this, m_isLoadingElevenLabsVoices, true,
           &AppViewModel::isLoadingElevenLabsVoicesChanged);
    assign(this, m_elevenLabsStatus, QStringLiteral("Loading your ElevenLabs voices…"),
           &AppViewModel::elevenLabsStatusChanged);

    QList<ElevenLabsVoice> voices;
    std::optional<QString> failure;
    try {
        voices = co_await m_services.elevenLabs->voices(*key);
    } catch (const std::exception& error) {
        failure = describe(error);
    }
    if (!self)
        co_return;
    if (failure) {
        showVoiceListFailure(*failure);
    } else {
        showVoices(voices);
    }
    assign(this, m_isLoadingElevenLabsVoices, false,
           &AppViewModel::isLoadingElevenLabsVoicesChanged);
}

// The stored choice stays, so it comes back with the next successful refresh.
void AppViewModel::showVoiceListFailure(const QString& failure) {
    assign(this, m_elevenLabsVoices, QList<ElevenLabsVoice>(),
           &AppViewModel::elevenLabsVoicesChanged);
    assign(this, m_selectedElevenLabsVoiceID, std::nullopt,
           &AppViewModel::selectedElevenLabsVoiceIDChanged);
    assign(this, m_elevenLabsStatus, failure, &AppViewModel::elevenLabsStatusChanged);
}

void AppViewModel::showVoices(const QList<ElevenLabsVoice>& voices) {
    assign(this, m_elevenLabsVoices, voices, &AppViewModel::elevenLabsVoicesChanged);
    const auto voice = preferredElevenLabsVoice();
    assign(this, m_selectedElevenLabsVoiceID, voice ? std::optional(voice->voiceID) : std::nullopt,
           &AppViewModel::selectedElevenLabsVoiceIDChanged);
    if (voice) {
        m_services.settings->setValue(elevenLabsVoiceIDKey, voice->voiceID);
        assign(this, m_elevenLabsStatus, connectedStatus(*voice),
               &AppViewModel::elevenLabsStatusChanged);
    } else {
        assign(this, m_elevenLabsStatus,
               QStringLiteral("Connected, but no personal or workspace voices were found."),
               &AppViewModel::elevenLabsStatusChanged);
    }
}

// The stored choice if the account still has it, else the account's own voice, else the first.
std::optional<ElevenLabsVoice> AppViewModel::preferredElevenLabsVoice() const {
    if (m_elevenLabsVoices.isEmpty())
        return std::nullopt;
    const QVariant stored = m_services.settings->value(elevenLabsVoiceIDKey);
    if (const auto voice = firstWhere(m_elevenLabsVoices, [&](const ElevenLabsVoice& candidate) {
            return stored.isValid() && candidate.voiceID == stored.toString();
        }))
        return voice;
    if (const auto voice = firstWhere(m_elevenLabsVoices, [](const ElevenLabsVoice& candidate) {
            return candidate.isOwner.value_or(false);
        }))
        return voice;
    return m_elevenLabsVoices.first();
}
