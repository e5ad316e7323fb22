#pragma once

#include <QHash>
#include <QMetaType>
#include <QString>

// One output device.
struct AudioDevice {
    quint32 id = 0;
    QString name;

    bool operator==(const AudioDevice&) const = default;

    // The name, lower-cased, contains "blackhole", "virtual" or "loopback".
    bool isLikelyVirtualMicrophone() const;
};

inline size_t qHash(const AudioDevice& device, size_t seed = 0) {
    return qHashMulti(seed, device.id, device.name);
}

Q_DECLARE_METATYPE(AudioDevice)
