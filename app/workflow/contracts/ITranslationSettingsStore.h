#pragma once

#include "app/translation/TranslationSettings.h"

#include <qcoro/qcorotask.h>

// Where the translation service chosen in the settings is kept: the keys in the desktop's key
// store, the rest with the program's settings.
class ITranslationSettingsStore {
public:
    virtual ~ITranslationSettingsStore() = default;

    // The stored choice; a key that cannot be read is empty. Never throws.
    virtual QCoro::Task<TranslationSettings> load() = 0;
    // An empty key removes the stored one. May throw an error with a description.
    virtual QCoro::Task<> save(TranslationSettings settings) = 0;
};
