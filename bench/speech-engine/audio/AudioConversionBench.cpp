// Takes audio into the recognizer's intake, which converts it to 16 kHz mono, in the blocks
// capture delivers, on one core, and reports the speed as a multiple of real time and the time
// per block: captions' 16 kHz mono 20 ms blocks (which should pass through) and 48 kHz stereo
// microphone blocks.
#include "speech-engine/audio/SampleIntake.h"

#include <sched.h>

#include <cmath>
#include <cstdio>
#include <ctime>

namespace {

constexpr double audioSeconds = 60;

struct Case {
    const char* name;
    double rate;
    int channels;
    int blockFrames;
};

const Case cases[] = {{"16 kHz mono, 20 ms blocks (captions)", 16000, 1, 320},
                      {"48 kHz stereo, 10 ms blocks (microphone)", 48000, 2, 480},
                      {"48 kHz stereo, 20 ms blocks (microphone)", 48000, 2, 960},
                      {"48 kHz stereo, 560 ms blocks", 48000, 2, 26880}};

// Processor time of this thread, so that other load on the machine does not count.
double threadSeconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}

PcmBuffer block(const Case& shape) {
    PcmBuffer buffer({shape.rate, shape.channels, SampleType::float32, false}, shape.blockFrames);
    for (int c = 0; c < shape.channels; ++c) {
        auto samples = buffer.samples<float>(c);
        for (int i = 0; i < shape.blockFrames; ++i)
            samples[i] = 0.4f * float(std::sin(0.0576 * i + c));
    }
    return buffer;
}

// Processor seconds per block.
double secondsPerBlock(const Case& shape) {
    const int blocks = int(audioSeconds * shape.rate / shape.blockFrames);
    const auto input = block(shape);
    SampleIntake intake;
    std::size_t produced = 0;
    const double start = threadSeconds();
    for (int i = 0; i < blocks; ++i) {
        intake.append(input);
        produced += intake.take().size();
    }
    const double seconds = threadSeconds() - start;
    if (produced == 0)
        std::printf("no output\n");
    return seconds / blocks;
}

} // namespace

int main() {
    cpu_set_t oneCore;
    CPU_ZERO(&oneCore);
    CPU_SET(0, &oneCore);
    sched_setaffinity(0, sizeof(oneCore), &oneCore);

    std::printf("to 16 kHz mono, one core (processor time), %.0f s of audio per case\n",
                audioSeconds);
    for (const auto& shape : cases) {
        const double perBlock = secondsPerBlock(shape);
        std::printf("  %-42s %8.2f us per block, %9.0f x real time\n", shape.name, perBlock * 1e6,
                    shape.blockFrames / shape.rate / perBlock);
    }
    return 0;
}
