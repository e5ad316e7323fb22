#pragma once

#include "app/core/Cancellation.h"

#include <QString>
#include <qcoro/qcorotask.h>

// Translation both ways. Results are trimmed. Cancelling `cancellation` aborts
// the request; the call then throws and its result is never delivered.
class INebiusClient {
public:
    virtual ~INebiusClient() = default;

    virtual QCoro::Task<QString> translateToKorean(QString english,
                                                   Cancellation cancellation = {}) = 0;
    virtual QCoro::Task<QString> translateToEnglish(QString korean,
                                                    Cancellation cancellation = {}) = 0;
};
