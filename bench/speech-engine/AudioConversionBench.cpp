// Converts 48 kHz stereo float to 16 kHz mono, as meeting audio reaches the recognizer,
// on one core, and reports the speed as a multiple of real time per block size.
#include "speech-engine/AudioConverter.h"

#include <sched.h>

#include <cmath>
#include <cstdio>
#include <ctime>

namespace {

constexpr double sourceRate = 48000;
constexpr double audioSeconds = 60;

// Processor time of this thread, so that other load on the machine does not count.
double threadSeconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}

PcmBuffer stereoBlock(int frames, int offset) {
    PcmBuffer buffer({sourceRate, 2, SampleType::float32, false}, frames);
    for (int c = 0; c < 2; ++c) {
        auto samples = buffer.samples<float>(c);
        for (int i = 0; i < frames; ++i)
            samples[i] = 0.4f * float(std::sin(0.0576 * (offset + i) + c));
    }
    return buffer;
}

double realTimeFactor(const AudioConverter& converter, int blockFrames) {
    const int blocks = int(audioSeconds * sourceRate / blockFrames);
    const auto block = stereoBlock(blockFrames, 0);
    std::size_t produced = 0;
    const double start = threadSeconds();
    for (int i = 0; i < blocks; ++i)
        produced += converter.resampleBuffer(block).size();
    const double seconds = threadSeconds() - start;
    if (produced == 0)
        std::printf("no output\n");
    return blocks * blockFrames / sourceRate / seconds;
}

} // namespace

int main() {
    cpu_set_t oneCore;
    CPU_ZERO(&oneCore);
    CPU_SET(0, &oneCore);
    sched_setaffinity(0, sizeof(oneCore), &oneCore);

    const AudioConverter converter;
    std::printf(
        "48 kHz stereo float -> 16 kHz mono, one core (processor time), %.0f s of audio per size\n",
        audioSeconds);
    for (int blockFrames : {480, 4800, 26880, 48000}) {
        std::printf("  blocks of %6d frames (%5.0f ms): %8.0f x real time\n", blockFrames,
                    blockFrames / sourceRate * 1000, realTimeFactor(converter, blockFrames));
    }
    return 0;
}
