#pragma once

#include "speech-engine/audio/AudioConverter.h"
#include "speech-engine/audio/PcmBuffer.h"

#include <cstdint>
#include <mutex>
#include <vector>

// Samples callers hand to a recognizer, converted to 16 kHz mono on the caller's thread and kept
// until the recognizer's executor takes them. Positions count every sample appended since
// construction. The recognizer names the position its next chunk needs, so that a caller whose
// block completes no chunk does not hop onto the executor for nothing: at 20 ms blocks that is
// 27 of every 28 calls of a 560 ms chunk.
class SampleIntake {
public:
    // Converts and keeps the block; throws what the converter throws for a block it cannot
    // convert. True when the samples appended so far reach the due position.
    bool append(const PcmBuffer& buffer);
    // True when the samples appended so far reach the due position.
    bool isDue() const;
    // The samples kept so far, in order; they start at position end() - size.
    std::vector<float> take();
    std::int64_t end() const;
    // Where the recognizer's next chunk becomes possible; 0 makes every call due.
    void setDue(std::int64_t position);

private:
    AudioConverter m_converter;
    mutable std::mutex m_mutex;
    std::vector<float> m_samples;
    std::int64_t m_end = 0;
    std::int64_t m_due = 0;
};
