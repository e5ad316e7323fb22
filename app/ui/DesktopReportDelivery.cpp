#include "app/ui/DesktopReportDelivery.h"

#include "app/ui/DesktopActions.h"

#include <QDesktopServices>
#include <QProcess>
#include <QStandardPaths>
#include <qcoro/qcoroprocess.h>

QCoro::Task<bool> DesktopReportDelivery::composeEmail(QString recipient, QString subject,
                                                      QString body) {
    const QString tool = QStandardPaths::findExecutable(QStringLiteral("xdg-email"));
    if (tool.isEmpty())
        co_return false;
    // xdg-email may stay until a mail client it launched exits; a mail client that
    // is still open after the wait has the message, so the process is left running.
    auto* process = new QProcess;
    QObject::connect(process, &QProcess::finished, process, &QObject::deleteLater);
    QObject::connect(process, &QProcess::errorOccurred, process, &QObject::deleteLater);
    process->setProgram(tool);
    process->setArguments({QStringLiteral("--utf8"), QStringLiteral("--subject"), subject,
                           QStringLiteral("--body"), body, recipient});
    if (!co_await qCoro(process).start())
        co_return false;
    if (!co_await qCoro(process).waitForFinished(10'000))
        co_return true;
    co_return process->exitStatus() == QProcess::NormalExit && process->exitCode() == 0;
}

bool DesktopReportDelivery::openUrl(const QUrl& url) {
    return QDesktopServices::openUrl(url);
}

void DesktopReportDelivery::copyToClipboard(const QString& text) {
    DesktopActions::copyToClipboard(text);
}
