#pragma once

#include "app/ui/TroubleshootingReport.h"

// The desktop's routes for a support request: `xdg-email`, a mailto link, the clipboard.
class DesktopReportDelivery : public ReportDelivery {
public:
    QCoro::Task<bool> composeEmail(QString recipient, QString subject, QString body) override;
    bool openUrl(const QUrl& url) override;
    void copyToClipboard(const QString& text) override;
};
