#pragma once

#include <QLatin1String>

// File names inside one model folder. The compiled models are TorchScript files.
namespace ModelNames::NemotronStreaming {
inline constexpr QLatin1String preprocessorFile("preprocessor.pt");
inline constexpr QLatin1String encoderFolder("encoder");
inline constexpr QLatin1String encoderFile("encoder_int8.pt");
// The encoder's path also marks a variant folder as downloaded.
inline constexpr QLatin1String encoderPath("encoder/encoder_int8.pt");
inline constexpr QLatin1String decoderFile("decoder.pt");
// Besides `forward`, the joint has `project_encoder` (frames [1, D, T] -> "projected"
// [1, T, J]), `project_decoder` (prediction [1, P, 1] -> "projected" [1, 1, J]) and
// `joint_projected` (both projected -> "logits"): decoding projects each frame and each
// prediction once.
inline constexpr QLatin1String jointFile("joint.pt");
inline constexpr QLatin1String metadata("metadata.json");
inline constexpr QLatin1String tokenizer("tokenizer.json");
// Written last by an import: every other file's size and SHA-256. It marks the folder as a model
// folder that an import may replace.
inline constexpr QLatin1String manifest("manifest.json");
} // namespace ModelNames::NemotronStreaming
