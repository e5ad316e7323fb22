#pragma once

#include <algorithm>
#include <optional>

// The first element of `list` that `matches`, if any.
template <typename List, typename Predicate>
std::optional<typename List::value_type> firstWhere(const List& list, Predicate matches) {
    const auto found = std::find_if(list.begin(), list.end(), matches);
    return found == list.end() ? std::nullopt : std::optional(*found);
}
