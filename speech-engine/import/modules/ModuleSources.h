#pragma once

// TorchScript sources of the model folder's preprocessor, decoder and joint. Their tensors
// and constants are attributes that the builder takes from the checkpoint.
namespace ModuleSources {
extern const char* const preprocessor;
extern const char* const decoder;
extern const char* const joint;
} // namespace ModuleSources
