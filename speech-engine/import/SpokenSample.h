#pragma once

#include <filesystem>
#include <string>
#include <vector>

// A few English sentences spoken by espeak-ng: a speech signal the importer makes itself, so
// that checking a model needs no recording of anyone.
class SpokenSample {
public:
    // What is spoken, by whom, for a person.
    static std::string description();

    // Speaks into a WAV file in `scratch` (which must exist) and reads it back as mono samples
    // at `sampleRate`. When espeak-ng is missing, fails or writes nothing usable, `samples` is
    // empty and `failure` says why.
    static SpokenSample speak(const std::filesystem::path& scratch, double sampleRate);

    std::vector<float> samples;
    std::string failure;
};
