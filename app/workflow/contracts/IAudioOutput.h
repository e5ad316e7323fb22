#pragma once

#include "app/workflow/records/AudioDevice.h"

#include <QList>
#include <QObject>
#include <QUrl>
#include <QVariant>
#include <optional>
#include <qcoro/qcorotask.h>

// Output devices, system-voice synthesis and playback.
class IAudioOutput : public QObject {
    Q_OBJECT
    Q_PROPERTY(QList<AudioDevice> devices READ devices NOTIFY devicesChanged)
    // QML sees an absent device as null and may choose one by writing its id.
    Q_PROPERTY(QVariant selectedDeviceID READ selectedDeviceIDValue WRITE setSelectedDeviceIDValue
                   NOTIFY selectedDeviceIDChanged)
    Q_PROPERTY(bool isPlaying READ isPlaying NOTIFY isPlayingChanged)

public:
    using QObject::QObject;

    // Rebuilds `devices`; selects a virtual microphone when nothing is selected. Never throws.
    virtual void refreshDevices() = 0;
    // A new audio file of `text` spoken by the system voice `voice`. May throw.
    virtual QCoro::Task<QUrl> synthesize(QString text, QString voice) = 0;
    // Stops any playback and plays `file`, on the default output or on `deviceID`. May throw.
    virtual void play(const QUrl& file, std::optional<quint32> deviceID) = 0;
    // Never throws.
    virtual void stop() = 0;
    // Makes a virtual microphone the meeting application can listen to, unless
    // one exists, and selects it. May throw.
    virtual QCoro::Task<> createVirtualMicrophone() = 0;

    QList<AudioDevice> devices() const { return m_devices; }
    std::optional<quint32> selectedDeviceID() const { return m_selectedDeviceID; }
    bool isPlaying() const { return m_isPlaying; }

    void setDevices(const QList<AudioDevice>& value);
    void setSelectedDeviceID(std::optional<quint32> value);
    void setIsPlaying(bool value);

signals:
    void devicesChanged(const QList<AudioDevice>& devices);
    void selectedDeviceIDChanged(std::optional<quint32> selectedDeviceID);
    void isPlayingChanged(bool isPlaying);
    // A playback that had started ended before its end: the sound did not all go out.
    void playbackFailed(const QString& message);

private:
    QVariant selectedDeviceIDValue() const;
    void setSelectedDeviceIDValue(const QVariant& value);

    QList<AudioDevice> m_devices;
    std::optional<quint32> m_selectedDeviceID;
    bool m_isPlaying = false;
};
