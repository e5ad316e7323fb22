#pragma once

#include "speech-engine/audio/PcmBuffer.h"

#include <cstddef>
#include <optional>
#include <vector>

// A block of captured audio as the capture layer hands it over: an optional format
// description, the sample bytes and a frame count. Interleaved formats carry one run of
// frames; non-interleaved formats carry their channel planes one after another.
struct SampleBlock {
    std::optional<PcmFormat> format;
    std::vector<std::byte> bytes;
    int frameCount = 0;
};
