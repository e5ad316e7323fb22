// CPU cost of capturing a meeting application: the capture's own threads
// while a stand-in application (paplay, another process) plays a tone.

#include "app/services/audio/SystemAudioCapture.h"
#include "tests/support/RunToCompletion.h"

#include <QCoreApplication>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <qcoro/qcorotask.h>
#include <sys/resource.h>

namespace {

constexpr int seconds = 30;

double processCpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    auto toSeconds = [](const timeval& time) { return double(time.tv_sec) + time.tv_usec / 1e6; };
    return toSeconds(usage.ru_utime) + toSeconds(usage.ru_stime);
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication application(argc, argv);
    QTemporaryDir folder;
    const QString tone = folder.filePath(QStringLiteral("tone.wav"));
    QProcess::execute(QStringLiteral("sox"), {"-n", "-r", "48000", "-c", "2", tone, "synth",
                                              QString::number(seconds + 10), "sine", "440"});
    QProcess meeting;
    meeting.start(QStringLiteral("paplay"), {QStringLiteral("--client-name=Zoom"), tone});
    meeting.waitForStarted();

    std::atomic<std::int64_t> frames = 0;
    SystemAudioCapture capture;
    runToCompletion(capture.start(
        {qint32(meeting.processId()), "Zoom", {}, {}},
        [&frames](const PcmBuffer& buffer) { frames += buffer.frameLength(); }, [] {}));
    const double cpuBefore = processCpuSeconds();
    const auto wallBefore = std::chrono::steady_clock::now();
    QTimer::singleShot(std::chrono::seconds(seconds), &application, &QCoreApplication::quit);
    application.exec();
    const double cpu = processCpuSeconds() - cpuBefore;
    const std::chrono::duration<double> wall = std::chrono::steady_clock::now() - wallBefore;
    runToCompletion(capture.stop());
    meeting.kill();
    meeting.waitForFinished();

    const double audioSeconds = double(frames) / 16000.0;
    if (audioSeconds < 1) {
        std::printf("capture CPU: no audio arrived\n");
        return 1;
    }
    std::printf("capture CPU: %.3f s for %.1f s of audio (%.1f s wall) = %.1f s per hour of "
                "audio, %.3f %% of one core (target under 1 %%)\n",
                cpu, audioSeconds, wall.count(), cpu * 3600 / audioSeconds,
                100 * cpu / wall.count());
    return 0;
}
