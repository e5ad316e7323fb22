#pragma once

#include <QHash>
#include <QMetaType>
#include <QString>
#include <QVariant>

// One application that can be chosen as the meeting application. Compared and
// hashed by `id` alone.
struct CaptureApplication {
    qint32 id = 0;
    QString title;
    QString bundleIdentifier;
    // The capture layer's own handle for the application; the workflow never reads it.
    QVariant runningApplication;
    // The application's icon file as the desktop provides it; empty when there is none.
    QString iconPath{};

    bool operator==(const CaptureApplication& other) const { return id == other.id; }
};

inline size_t qHash(const CaptureApplication& application, size_t seed = 0) {
    return qHash(application.id, seed);
}

template <> struct std::hash<CaptureApplication> {
    size_t operator()(const CaptureApplication& application) const noexcept {
        return std::hash<qint32>{}(application.id);
    }
};

Q_DECLARE_METATYPE(CaptureApplication)
