#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

// The hyperparameters of a cache-aware streaming FastConformer transducer, as its checkpoint's
// "model_config.yaml" states them. Nothing here assumes one model's sizes.
struct NemoModelConfig {
    std::string target;      // model class path
    std::string nemoVersion; // may be empty
    std::int64_t sampleRate = 0;
    std::string tokenizerModel; // archive member holding the SentencePiece model

    struct Preprocessor {
        std::int64_t features = 0;      // mel bins (F)
        std::int64_t nFft = 0;          // W
        std::int64_t windowSamples = 0; // int(window_size * sample_rate)
        std::int64_t hopSamples = 0;    // int(window_stride * sample_rate)
        std::string window;             // "hann"
        std::string normalize;          // "NA" is the only streamable choice
        double preemph = 0.97;
        double logZeroGuardValue = 0x1p-24;
        std::string logZeroGuardType; // "add"
        double magPower = 2.0;
        std::int64_t padTo = 0;
        std::int64_t frameSplicing = 1;
    } preprocessor;

    struct Encoder {
        std::int64_t featIn = 0;
        std::int64_t layers = 0; // L
        std::int64_t dModel = 0; // D
        std::int64_t heads = 0;  // Hh
        std::int64_t ffExpansion = 0;
        std::string subsampling; // "dw_striding"
        std::int64_t subsamplingFactor = 0;
        std::int64_t subsamplingConvChannels = 0; // -1 in the file means D; resolved here
        bool causalDownsampling = false;
        std::string selfAttentionModel;                                     // "rel_pos"
        std::vector<std::pair<std::int64_t, std::int64_t>> attContextSizes; // first = default
        std::string attContextStyle;                                        // "chunked_limited"
        bool xscaling = true;
        bool untieBiases = true;
        std::int64_t convKernelSize = 0; // K
        std::string convContextSize;     // "causal"
        std::string convNormType;        // "batch_norm" | "layer_norm"
        bool useBias = true;
    } encoder;

    struct Decoder {
        std::int64_t predHidden = 0; // P
        std::int64_t rnnLayers = 0;  // NL
        std::int64_t vocabSize = 0;  // V
        bool blankAsPad = true;
    } decoder;

    struct Joint {
        std::int64_t jointHidden = 0; // J
        std::string activation;       // "relu"
        double dropout = 0;
        std::int64_t numClasses = 0; // V
    } joint;

    struct Decoding {
        std::int64_t maxSymbols = 10; // missing or <= 0 becomes 10, as NeMo's streaming does
        bool stripLangTags = false;
        std::string langTagPattern; // the pattern to strip when stripLangTags
    } decoding;

    struct Prompt {
        bool enabled = false;
        std::int64_t numPrompts = 0;
        std::map<std::string, std::int64_t> dictionary; // locale -> prompt index
        std::string modulePrefix; // "prompt_kernel" or "lang_id_prompt_kernel"
    } prompt;
};
