#pragma once

#include <QHash>
#include <QList>
#include <QString>

// One free system voice.
struct LocalVoicePreset {
    QString id;
    QString label;
    QString systemName;

    bool operator==(const LocalVoicePreset&) const = default;

    // The two presets, in the order they are offered; the first is the default.
    static const QList<LocalVoicePreset>& all();
};

inline size_t qHash(const LocalVoicePreset& preset, size_t seed = 0) {
    return qHashMulti(seed, preset.id, preset.label, preset.systemName);
}
