#pragma once

#include <algorithm>
#include <cstddef>
#include <vector>

// The value `fraction` of the way from the smallest to the largest (0.5: the median).
inline double percentile(std::vector<double> values, double fraction) {
    std::ranges::sort(values);
    return values[std::size_t(fraction * double(values.size() - 1))];
}
