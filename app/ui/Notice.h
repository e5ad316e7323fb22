#pragma once

#include "app/workflow/records/AssistPhase.h"

#include <QString>
#include <QVariantMap>
#include <optional>

// What the status card shows when the workflow needs the user's attention.
struct Notice {
    enum class Kind { attention, info };
    // What the notice's button does; `none` shows no button.
    enum class Action {
        none,
        openSoundSettings,
        openSettings,
        createVirtualMicrophone,
        refreshApplications,
        downloadModels
    };

    Kind kind = Kind::attention;
    QString title;
    std::optional<QString> detail;
    std::optional<QString> actionTitle;
    Action action = Action::none;

    bool operator==(const Notice&) const = default;

    // The notice for the workflow's state: none unless the phase is `error`;
    // then the status message's English markers decide, first match wins.
    static std::optional<Notice> forStatus(AssistPhase phase, const QString& statusMessage,
                                           bool hasBlackHole);
    // Shown while the caption model is being prepared and nothing needs attention.
    static Notice preparingModel();
    // Why a preview did not play out; the phase stays as it was.
    static Notice previewFailed(const QString& failure);
    // The offer to fetch the `missing` speech models (1 or 2) before a meeting needs them.
    static Notice modelsOffer(int missing);

    // The fields as QML reads them: kind ("attention"/"info"), title, detail and
    // actionTitle (null when absent).
    QVariantMap toVariant() const;
};
