#include "app/workflow/records/LocalVoicePreset.h"

const QList<LocalVoicePreset>& LocalVoicePreset::all() {
    static const QList<LocalVoicePreset> presets = {
        {QStringLiteral("samantha"), QStringLiteral("Samantha · Woman · US"),
         QStringLiteral("Samantha")},
        {QStringLiteral("daniel"), QStringLiteral("Daniel · Man · UK"), QStringLiteral("Daniel")},
    };
    return presets;
}
