#include "app/workflow/contracts/IAudioOutput.h"

#include "app/core/Observable.h"

void IAudioOutput::setDevices(const QList<AudioDevice>& value) {
    assign(this, m_devices, value, &IAudioOutput::devicesChanged);
}

void IAudioOutput::setSelectedDeviceID(std::optional<quint32> value) {
    assign(this, m_selectedDeviceID, value, &IAudioOutput::selectedDeviceIDChanged);
}

void IAudioOutput::setIsPlaying(bool value) {
    assign(this, m_isPlaying, value, &IAudioOutput::isPlayingChanged);
}

QVariant IAudioOutput::selectedDeviceIDValue() const {
    return variantOf(m_selectedDeviceID);
}

void IAudioOutput::setSelectedDeviceIDValue(const QVariant& value) {
    if (value.isNull() || !value.isValid())
        setSelectedDeviceID(std::nullopt);
    else
        setSelectedDeviceID(value.value<quint32>());
}
