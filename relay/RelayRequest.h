#pragma once

#include "app/translation/TranslationDirection.h"
#include "relay/RelayLimits.h"
#include "relay/RelayResponse.h"

#include <QByteArrayView>
#include <QString>
#include <variant>

// One translation asked of the relay: {"kind": "en-ko" | "ko-en", "text": …}.
struct RelayRequest {
    TranslationDirection direction;
    QString text;

    // The request in `body`, or the refusal to send instead: 413 for a body or
    // text beyond the limits, 400 for anything else that is not a request.
    // Other members are ignored. Depends on nothing but its arguments.
    static std::variant<RelayRequest, RelayResponse> parse(QByteArrayView body,
                                                           const RelayLimits& limits);
};
