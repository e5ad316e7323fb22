#pragma once

#include <QColor>
#include <QObject>
#include <QtQml/qqmlregistration.h>

// The palette and card radius every view is drawn from. QML reads it as the
// singleton `Theme`; C++ derives the phase colours from the same constants.
class Theme : public QObject {
    Q_OBJECT
    QML_ELEMENT
    QML_SINGLETON
    Q_PROPERTY(QColor background READ backgroundColor CONSTANT)
    Q_PROPERTY(QColor surface READ surfaceColor CONSTANT)
    Q_PROPERTY(QColor line READ lineColor CONSTANT)
    Q_PROPERTY(QColor ink READ inkColor CONSTANT)
    Q_PROPERTY(QColor ink2 READ ink2Color CONSTANT)
    Q_PROPERTY(QColor ink3 READ ink3Color CONSTANT)
    Q_PROPERTY(QColor blue READ blueColor CONSTANT)
    Q_PROPERTY(QColor blueDeep READ blueDeepColor CONSTANT)
    Q_PROPERTY(QColor blueSoft READ blueSoftColor CONSTANT)
    Q_PROPERTY(QColor amber READ amberColor CONSTANT)
    Q_PROPERTY(QColor amberSoft READ amberSoftColor CONSTANT)
    Q_PROPERTY(QColor live READ liveColor CONSTANT)
    Q_PROPERTY(QColor sending READ sendingColor CONSTANT)
    Q_PROPERTY(int radius READ cardRadius CONSTANT)

public:
    using QObject::QObject;

    static constexpr QColor background{255, 255, 255};
    static constexpr QColor surface{246, 247, 249};
    static constexpr QColor line{236, 237, 240};
    static constexpr QColor ink{17, 18, 20};
    static constexpr QColor ink2{75, 79, 87};
    static constexpr QColor ink3{134, 139, 148};
    static constexpr QColor blue{79, 107, 255};
    static constexpr QColor blueDeep{58, 84, 224};
    static constexpr QColor blueSoft{238, 241, 255};
    static constexpr QColor amber{180, 83, 9};
    static constexpr QColor amberSoft{255, 243, 220};
    static constexpr QColor live{239, 68, 68};
    static constexpr QColor sending{22, 163, 74};
    static constexpr int radius = 14;

    // `color` drawn at `opacity` (0…1).
    static QColor faded(QColor color, double opacity) {
        color.setAlphaF(float(opacity));
        return color;
    }

private:
    QColor backgroundColor() const { return background; }
    QColor surfaceColor() const { return surface; }
    QColor lineColor() const { return line; }
    QColor inkColor() const { return ink; }
    QColor ink2Color() const { return ink2; }
    QColor ink3Color() const { return ink3; }
    QColor blueColor() const { return blue; }
    QColor blueDeepColor() const { return blueDeep; }
    QColor blueSoftColor() const { return blueSoft; }
    QColor amberColor() const { return amber; }
    QColor amberSoftColor() const { return amberSoft; }
    QColor liveColor() const { return live; }
    QColor sendingColor() const { return sending; }
    int cardRadius() const { return radius; }
};
