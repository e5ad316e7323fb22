#include "app/workflow/records/AudioDevice.h"

bool AudioDevice::isLikelyVirtualMicrophone() const {
    const QString lowered = name.toLower();
    for (const char* word : {"blackhole", "virtual", "loopback"}) {
        if (lowered.contains(QLatin1String(word)))
            return true;
    }
    return false;
}
