#include "speech-engine/import/SpokenSample.h"

#include "speech-engine/audio/AudioConverter.h"

#include <QProcess>

namespace {

const char* const voice = "en-us";
// About nine seconds at espeak-ng's usual pace: several chunks of every chunk size.
const char* const sentences =
    "Thanks for joining the call. Before we look at the launch plan, could you walk us through "
    "the budget for the next quarter? I think we can finish by noon if we keep it short.";

// espeak-ng needs well under a second for these; longer is a hung tool.
constexpr int timeLimitMs = 60000;

SpokenSample failed(const std::string& why) {
    return {{}, why};
}

} // namespace

std::string SpokenSample::description() {
    return std::string("espeak-ng (") + voice + ") saying \"" + sentences + "\"";
}

SpokenSample SpokenSample::speak(const std::filesystem::path& scratch, double sampleRate) {
    const auto wav = QString::fromStdString((scratch / "spoken.wav").string());
    QProcess process;
    process.setStandardOutputFile(QProcess::nullDevice());
    process.setStandardErrorFile(QProcess::nullDevice());
    process.start(QStringLiteral("espeak-ng"),
                  {QStringLiteral("-v"), QLatin1String(voice), QStringLiteral("-w"), wav,
                   QStringLiteral("--"), QLatin1String(sentences)});
    if (!process.waitForStarted())
        return failed("espeak-ng could not be started: " + process.errorString().toStdString());
    if (!process.waitForFinished(timeLimitMs)) {
        process.kill();
        process.waitForFinished();
        return failed("espeak-ng did not finish");
    }
    if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0)
        return failed("espeak-ng failed with status " + std::to_string(process.exitCode()));
    try {
        auto samples = AudioConverter(sampleRate, false).resampleAudioFile(wav);
        if (samples.empty())
            return failed("espeak-ng wrote no sound");
        return {std::move(samples), {}};
    } catch (const std::exception& error) {
        return failed(std::string("espeak-ng's sound could not be read: ") + error.what());
    }
}
