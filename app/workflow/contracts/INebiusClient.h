#pragma once

#include "app/core/Cancellation.h"
#include "app/translation/TranslationSettings.h"

#include <QString>
#include <functional>
#include <qcoro/qcorotask.h>

// Translation both ways. Results are trimmed. Cancelling `cancellation` aborts
// the request; the call then throws and its result is never delivered.
class INebiusClient {
public:
    // The translation so far, each time it grows while the answer streams in; never called
    // after the call was cancelled.
    using PartialText = std::function<void(const QString& text)>;

    virtual ~INebiusClient() = default;

    virtual QCoro::Task<QString> translateToKorean(QString english, Cancellation cancellation = {},
                                                   PartialText onPartial = {}) = 0;
    virtual QCoro::Task<QString> translateToEnglish(QString korean, Cancellation cancellation = {},
                                                    PartialText onPartial = {}) = 0;

    // The service chosen in the settings, used by the next translations.
    virtual void useSettings(TranslationSettings settings) = 0;
    // False when neither the settings nor the environment name a service: a translation
    // would only fail.
    virtual bool hasService() const = 0;
};
