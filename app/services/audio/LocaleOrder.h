#pragma once

#include <QCollator>
#include <QList>
#include <algorithm>

// Sorts by a text key the way people read lists: locale-aware, ignoring
// letter case, and stable, so that equal keys keep their order.
template <typename T, typename Key> void sortByLocale(QList<T>& items, Key key) {
    QCollator collator;
    collator.setCaseSensitivity(Qt::CaseInsensitive);
    std::stable_sort(items.begin(), items.end(), [&](const T& left, const T& right) {
        return collator.compare(key(left), key(right)) < 0;
    });
}
