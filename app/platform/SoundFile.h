#pragma once

#include <QString>
#include <vector>

// A whole audio file decoded to interleaved 32-bit float (WAV, AIFF, FLAC, MP3
// and the other formats libsndfile reads).
struct SoundFile {
    int sampleRate = 0;
    int channelCount = 0;
    std::vector<float> samples;

    // Throws ServiceError (domain "SoundFile", code = the libsndfile error)
    // when the file cannot be opened or read.
    static SoundFile read(const QString& path);
};
