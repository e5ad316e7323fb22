// The operator as a shared library of its own, for programs other than ours: PyTorch's
// torch.ops.load_library opens it, and the operator registers as it loads.
#include "speech-engine/runtime/Int8LinearOperator.h"

namespace {
[[maybe_unused]] const bool registered = (Int8LinearOperator::registerOnce(), true);
} // namespace
