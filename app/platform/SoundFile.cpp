#include "app/platform/SoundFile.h"

#include "app/core/ServiceError.h"

#include <QFile>
#include <memory>
#include <sndfile.h>

namespace {

[[noreturn]] void fail(const QString& path, SNDFILE* file) {
    throw ServiceError(QStringLiteral("Could not read the audio file %1: %2.")
                           .arg(path, QString::fromUtf8(sf_strerror(file))),
                       QStringLiteral("SoundFile"), sf_error(file));
}

} // namespace

SoundFile SoundFile::read(const QString& path) {
    SF_INFO info{};
    std::unique_ptr<SNDFILE, int (*)(SNDFILE*)> file(
        sf_open(QFile::encodeName(path).constData(), SFM_READ, &info), &sf_close);
    if (!file)
        fail(path, nullptr);
    SoundFile sound{info.samplerate, info.channels, {}};
    sound.samples.resize(std::size_t(info.frames) * std::size_t(info.channels));
    // A damaged file may end before its header says.
    const sf_count_t frames = sf_readf_float(file.get(), sound.samples.data(), info.frames);
    if (frames < 0 || sf_error(file.get()) != SF_ERR_NO_ERROR)
        fail(path, file.get());
    sound.samples.resize(std::size_t(frames) * std::size_t(info.channels));
    return sound;
}
