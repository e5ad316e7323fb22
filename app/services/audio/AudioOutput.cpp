#include "app/services/audio/AudioOutput.h"

#include "app/core/MainThread.h"
#include "app/core/ServiceError.h"
#include "app/platform/PulseContext.h"
#include "app/platform/PulseError.h"
#include "app/platform/PulsePlaybackStream.h"
#include "app/platform/SoundFile.h"
#include "app/platform/SpeechTool.h"
#include "app/services/audio/LocaleOrder.h"

#include <QUuid>

namespace {

const QString virtualSinkName = QStringLiteral("relayo_virtual_microphone");
// Long enough that a busy desktop never starves the voice.
constexpr int playbackBufferMilliseconds = 200;
// How often a sound server that went away is looked for again.
constexpr int reconnectMilliseconds = 1000;

std::optional<quint32> sinkIndexNamed(const QList<PulseContext::Sink>& sinks, const QString& name) {
    for (const auto& sink : sinks) {
        if (sink.name == name)
            return sink.index;
    }
    return std::nullopt;
}

} // namespace

const QString AudioOutput::virtualMicrophoneName = QStringLiteral("Relayo Virtual Microphone");

AudioOutput::AudioOutput(QString serverAddress, QObject* parent)
    : IAudioOutput(parent), m_serverAddress(std::move(serverAddress)),
      m_voiceFolder(QStringLiteral("relayo-voice")) {
    m_reconnect.setInterval(reconnectMilliseconds);
    connect(&m_reconnect, &QTimer::timeout, this, &AudioOutput::refreshDevices);
    refreshDevices();
}

AudioOutput::~AudioOutput() {
    closePlayback();
}

PulseContext& AudioOutput::context() {
    if (!m_context || !m_context->isConnected()) {
        closePlayback();
        m_context.reset();
        m_context = std::make_unique<PulseContext>(m_serverAddress, "audio.output");
        m_reconnect.stop();
        m_context->onLost([this] { postToMainThread([this] { m_reconnect.start(); }, this); });
        if (m_keepsVirtualMicrophone && !sinkIndexNamed(m_context->sinks(), virtualSinkName))
            makeVirtualMicrophone(*m_context);
    }
    return *m_context;
}

QList<AudioDevice> AudioOutput::sortedDevices(QList<AudioDevice> devices) {
    sortByLocale(devices, [](const AudioDevice& device) { return device.name; });
    return devices;
}

std::optional<quint32> AudioOutput::firstVirtualMicrophone(const QList<AudioDevice>& devices) {
    for (const AudioDevice& device : devices) {
        if (device.isLikelyVirtualMicrophone())
            return device.id;
    }
    return std::nullopt;
}

void AudioOutput::refreshDevices() {
    QList<AudioDevice> devices;
    try {
        for (const auto& sink : context().sinks()) {
            if (!sink.description.isEmpty())
                devices.append({sink.index, sink.description});
            m_keepsVirtualMicrophone |= sink.name == virtualSinkName;
        }
    } catch (const std::exception&) {
        // Without the sound server the old list stays until it is back.
        m_reconnect.start();
        return;
    }
    // A restarted server numbers its devices anew: the choice follows the device's name.
    QString chosenName;
    for (const AudioDevice& device : this->devices()) {
        if (device.id == selectedDeviceID())
            chosenName = device.name;
    }
    setDevices(sortedDevices(std::move(devices)));
    const QList<AudioDevice> listed = this->devices();
    const auto same = std::ranges::find(listed, chosenName, &AudioDevice::name);
    setSelectedDeviceID(same != listed.end() ? std::optional(same->id)
                                             : firstVirtualMicrophone(listed));
}

QCoro::Task<QUrl> AudioOutput::synthesize(QString text, QString voice) {
    // Created first so that the voice tool writes into a file only this user can read.
    const QString path = m_voiceFolder.writeFile(
        QStringLiteral("meeting-voice-%1.wav")
            .arg(QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper()));
    if (co_await SpeechTool::speak(text, voice, path) != 0)
        throw ServiceError(QStringLiteral("Could not synthesize the English voice."),
                           QStringLiteral("SpeechOutput"), 1);
    co_return QUrl::fromLocalFile(path);
}

void AudioOutput::play(const QUrl& file, std::optional<quint32> deviceID) {
    stop();
    auto sound = std::make_shared<const SoundFile>(SoundFile::read(file.toLocalFile()));
    PulseContext& pulse = context();
    QString sink;
    if (deviceID) {
        const auto sinks = pulse.sinks();
        if (std::ranges::none_of(sinks,
                                 [&](const auto& known) { return known.index == *deviceID; }))
            throw ServiceError(
                QStringLiteral("Could not route audio to the selected virtual microphone."),
                QStringLiteral("SpeechOutput"), PulseError::noSuchEntity);
        sink = QString::number(*deviceID);
    }
    auto fill = [sound, position = std::size_t{0}](std::span<float> out) mutable {
        const std::size_t count = std::min(out.size(), sound->samples.size() - position);
        std::copy_n(sound->samples.begin() + std::ptrdiff_t(position), count, out.begin());
        position += count;
        return count;
    };
    const quint64 generation = ++m_playbackGeneration;
    auto finished = [this, generation](bool played) {
        // Queued to this object: dropped if it is gone by then.
        postToMainThread(
            [this, generation, played] {
                if (generation != m_playbackGeneration)
                    return;
                stop();
                if (!played)
                    emit playbackFailed(QStringLiteral(
                        "The voice stopped before its end: the sound server ended the playback."));
            },
            this);
    };
    {
        PulseContext::Lock lock(pulse);
        m_playback = std::make_unique<PulsePlaybackStream>(
            pulse, sink,
            PulsePlaybackStream::Format{sound->sampleRate, sound->channelCount,
                                        playbackBufferMilliseconds},
            fill, finished);
    }
    setIsPlaying(true);
}

void AudioOutput::stop() {
    closePlayback();
    setIsPlaying(false);
}

void AudioOutput::closePlayback() {
    if (!m_playback)
        return;
    PulseContext::Lock lock(*m_context);
    m_playback.reset();
}

QCoro::Task<> AudioOutput::createVirtualMicrophone() {
    PulseContext& pulse = context();
    if (!sinkIndexNamed(pulse.sinks(), virtualSinkName))
        makeVirtualMicrophone(pulse);
    m_keepsVirtualMicrophone = true;
    refreshDevices();
    setSelectedDeviceID(sinkIndexNamed(pulse.sinks(), virtualSinkName));
    co_return;
}

void AudioOutput::makeVirtualMicrophone(PulseContext& pulse) {
    pulse.loadModule(QStringLiteral("module-null-sink"),
                     QStringLiteral("sink_name=%1 sink_properties='device.description=\"%2\"'")
                         .arg(virtualSinkName, virtualMicrophoneName));
    // Meeting applications list sources, not sinks, as microphones.
    pulse.loadModule(QStringLiteral("module-remap-source"),
                     QStringLiteral("source_name=%1_input master=%1.monitor "
                                    "source_properties='device.description=\"%2 Input\"'")
                         .arg(virtualSinkName, virtualMicrophoneName));
}
