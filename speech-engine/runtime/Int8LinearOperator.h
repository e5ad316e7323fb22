#pragma once

// `relayo::linear_int8(x, weight, scales, sums, bias)`, which the int8 encoder's script calls:
// Int8Linear over a weight packed by Int8Linear::pack with its per-channel scales and sums.
class Int8LinearOperator {
public:
    // Idempotent; needed before a script that calls the operator is compiled or loaded.
    static void registerOnce();
};
