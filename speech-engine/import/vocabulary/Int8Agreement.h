#pragma once

#include <string>
#include <vector>

// How closely an int8 encoder follows the float32 encoder of the same weights on a signal the
// import makes itself, stepping through it chunk by chunk, each on its own caches. Recorded in
// an int8 folder's "metadata.json".
struct Int8Agreement {
    // One output's worst chunk: the lowest cosine, and the largest max |int8 - fp32| as a
    // fraction of that chunk's max |fp32|.
    struct Measure {
        double cosine = 1;
        double maxDifference = 0;
    };

    // The encoder's output must keep within these; float32 rounding alone stays far inside.
    static constexpr double minimumCosine = 0.9998;
    static constexpr double maximumDifference = 0.025;

    std::string signal;      // what the encoders heard
    std::string notMeasured; // why nothing was measured; empty when it was
    Measure encoder;
    std::vector<Measure> layers; // each Conformer layer's output, in order

    bool measured() const { return notMeasured.empty(); }
    bool withinBound() const {
        return encoder.cosine >= minimumCosine && encoder.maxDifference <= maximumDifference;
    }
};
