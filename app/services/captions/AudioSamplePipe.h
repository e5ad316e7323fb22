#pragma once

#include "app/services/captions/SampleStream.h"

#include <memory>
#include <mutex>

// Hands mono sample blocks from the capture thread to the current listening run. `lock` is
// held only to read or swap the writing end; the stream itself is used after unlocking, so
// the capture thread never waits for recognition. Without a writing end blocks are discarded.
class AudioSamplePipe {
public:
    // Installs a new writing end and finishes the old one.
    void install(std::shared_ptr<SampleStream> continuation);
    void yield(SampleStream::Block samples);
    // Finishes and removes the writing end.
    void finish();

private:
    std::mutex m_lock;
    std::shared_ptr<SampleStream> m_continuation;
};
