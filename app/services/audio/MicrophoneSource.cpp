#include "app/services/audio/MicrophoneSource.h"

#include "app/platform/PulseContext.h"
#include "app/platform/PulseRecordStream.h"
#include "app/workflow/ServiceError.h"

MicrophoneSource::MicrophoneSource(QString serverAddress)
    : m_serverAddress(std::move(serverAddress)) {}

MicrophoneSource::~MicrophoneSource() {
    stop();
}

void MicrophoneSource::start(Handler onBuffer) {
    stop();
    auto context = std::make_unique<PulseContext>(m_serverAddress, "microphone");
    const QString source = context->defaultInputSourceName();
    if (source.isEmpty())
        throw ServiceError(
            QStringLiteral("No microphone was found. Connect a microphone and try again."),
            QStringLiteral("Capture"), 3);
    const std::uint64_t generation = m_handler.install(std::move(onBuffer));
    auto collect = [this, generation](std::span<const float> samples) {
        for (float sample : samples) {
            m_pending.push_back(sample);
            if (m_pending.size() < std::size_t(framesPerBuffer))
                continue;
            PcmBuffer buffer({PulseRecordStream::sampleRate, 1, SampleType::float32, false},
                             framesPerBuffer);
            std::ranges::copy(m_pending, buffer.samples<float>(0).begin());
            m_pending.clear();
            m_handler.deliver(generation, buffer);
        }
    };
    try {
        PulseContext::Lock lock(*context);
        m_stream = std::make_unique<PulseRecordStream>(
            *context, source, std::nullopt, framesPerBuffer, collect,
            [this, generation] { m_handler.clear(generation); });
    } catch (...) {
        m_handler.clear();
        throw;
    }
    m_context = std::move(context);
}

void MicrophoneSource::stop() {
    m_handler.clear();
    if (!m_context)
        return;
    {
        PulseContext::Lock lock(*m_context);
        m_stream.reset();
    }
    m_context.reset();
    m_pending.clear();
}
