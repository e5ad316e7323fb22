#pragma once

#include "speech-engine/audio/PcmBuffer.h"

#include <cstdint>
#include <functional>
#include <mutex>

// The one place where an audio handler is handed between the thread that
// starts and stops a recording and the thread that delivers its blocks. Each
// installed handler gets a generation; a block recorded for an older
// generation never reaches a newer handler. The handler runs with the slot's
// mutex held, so once `clear` returns no block is being delivered; the handler
// therefore must not call back into its owner.
class PcmHandlerSlot {
public:
    using Handler = std::function<void(const PcmBuffer&)>;

    // Replaces the handler and returns its generation.
    std::uint64_t install(Handler handler);
    // Removes whatever handler is installed.
    void clear();
    // Removes the handler only if it is still the one of `generation`; true when it did.
    bool clear(std::uint64_t generation);
    bool isSet() const;
    // Calls the handler with `buffer` if it is still the one of `generation`.
    void deliver(std::uint64_t generation, const PcmBuffer& buffer);

private:
    mutable std::mutex m_mutex;
    Handler m_handler;
    std::uint64_t m_generation = 0;
};
