// A meeting application stand-in for the capture tests: it connects to the
// sound server as the client named by its first argument and plays nothing
// until a line arrives on its standard input; then it plays a sine tone of the
// frequency given as its second argument until it is ended.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <numbers>
#include <pulse/pulseaudio.h>

namespace {

constexpr int sampleRate = 48000;

struct Tone {
    double frequency = 0;
    double phase = 0;
};

void writeTone(pa_stream* stream, size_t bytes, void* data) {
    auto* tone = static_cast<Tone*>(data);
    void* buffer = nullptr;
    if (pa_stream_begin_write(stream, &buffer, &bytes) < 0 || !buffer)
        return;
    auto* samples = static_cast<float*>(buffer);
    for (size_t i = 0; i < bytes / sizeof(float); ++i) {
        samples[i] = float(0.5 * std::sin(tone->phase));
        tone->phase += 2 * std::numbers::pi * tone->frequency / sampleRate;
    }
    pa_stream_write(stream, buffer, bytes, nullptr, 0, PA_SEEK_RELATIVE);
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s CLIENT-NAME FREQUENCY\n", argv[0]);
        return 2;
    }
    Tone tone{std::atof(argv[2])};
    pa_mainloop* loop = pa_mainloop_new();
    pa_context* context = pa_context_new(pa_mainloop_get_api(loop), argv[1]);
    if (pa_context_connect(context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0)
        return 1;
    while (pa_context_get_state(context) != PA_CONTEXT_READY) {
        if (!PA_CONTEXT_IS_GOOD(pa_context_get_state(context)) ||
            pa_mainloop_iterate(loop, 1, nullptr) < 0)
            return 1;
    }
    std::puts("connected");
    std::fflush(stdout);
    // Silent: connected, no stream, until told to play.
    char line[16];
    if (!std::fgets(line, sizeof line, stdin))
        return 0;
    const pa_sample_spec format{PA_SAMPLE_FLOAT32LE, sampleRate, 1};
    pa_stream* stream = pa_stream_new(context, "meeting", &format, nullptr);
    pa_stream_set_write_callback(stream, &writeTone, &tone);
    if (pa_stream_connect_playback(stream, nullptr, nullptr, PA_STREAM_NOFLAGS, nullptr, nullptr) <
        0)
        return 1;
    return pa_mainloop_run(loop, nullptr);
}
