#include "app/services/audio/MicrophoneSource.h"

#include "app/core/ServiceError.h"
#include "app/platform/PulseContext.h"
#include "app/platform/PulseRecordStream.h"

MicrophoneSource::MicrophoneSource(QString serverAddress)
    : m_serverAddress(std::move(serverAddress)) {}

MicrophoneSource::~MicrophoneSource() {
    stop();
}

void MicrophoneSource::start(Handler onBuffer, std::function<void()> onLost) {
    stop();
    auto context = std::make_unique<PulseContext>(m_serverAddress, "microphone");
    const QString source = context->defaultInputSourceName();
    if (source.isEmpty())
        throw ServiceError(
            QStringLiteral("No microphone was found. Connect a microphone and try again."),
            QStringLiteral("Capture"), 3);
    const std::uint64_t generation = m_handler.install(std::move(onBuffer));
    m_generation = generation;
    auto collect = [this](std::span<const float> samples) {
        for (float sample : samples) {
            m_pending.push_back(sample);
            if (m_pending.size() == std::size_t(framesPerBuffer))
                deliverPending();
        }
    };
    try {
        PulseContext::Lock lock(*context);
        m_stream = std::make_unique<PulseRecordStream>(
            *context, source, std::nullopt, framesPerBuffer, collect,
            [this, generation, onLost = std::move(onLost)] {
                m_handler.clear(generation);
                if (onLost)
                    onLost();
            });
    } catch (...) {
        m_handler.clear();
        throw;
    }
    m_context = std::move(context);
}

// The last words of a recording are in the shorter buffer: they are delivered, not dropped.
void MicrophoneSource::stop() {
    if (m_context) {
        {
            PulseContext::Lock lock(*m_context);
            m_stream.reset();
        }
        if (!m_pending.empty())
            deliverPending();
        m_context.reset();
    }
    m_handler.clear();
}

void MicrophoneSource::deliverPending() {
    PcmBuffer buffer({PulseRecordStream::sampleRate, 1, SampleType::float32, false},
                     int(m_pending.size()));
    std::ranges::copy(m_pending, buffer.samples<float>(0).begin());
    m_pending.clear();
    m_handler.deliver(m_generation, buffer);
}
