#pragma once

#include <QString>
#include <QUrl>
#include <optional>
#include <qcoro/qcorotask.h>

// The routes a support request can take to the user's mail application, tried in order.
class ReportDelivery {
public:
    virtual ~ReportDelivery() = default;

    // Opens a new mail in the desktop's mail application; false when none took it.
    virtual QCoro::Task<bool> composeEmail(QString recipient, QString subject, QString body) = 0;
    // Opens a "mailto" link; false when nothing handles it.
    virtual bool openUrl(const QUrl& url) = 0;
    virtual void copyToClipboard(const QString& text) = 0;
};

// The state block appended to a support request. Only these items: no caption,
// translation, reply or key.
struct DiagnosticsSnapshot {
    std::optional<QString> appVersion;
    QString systemVersion;
    QString phaseText;
    QString phaseRawValue;
    QString statusMessage;
    std::optional<QString> applicationTitle;
    qsizetype applicationCount = 0;
    std::optional<QString> deviceName;
    bool hasBlackHole = false;
    // "ElevenLabs" or the free voice's system name.
    QString voiceName;
    bool hasElevenLabsAPIKey = false;
    bool isListening = false;
    bool isPreparing = false;
    std::optional<QString> recognitionError;
};

// A problem description handed to the maker's support mailbox through the
// user's own mail application; the program never sends mail itself.
namespace TroubleshootingReport {

QString supportAddress();
QString subject();
QString diagnostics(const DiagnosticsSnapshot& state);
// The mail body: the trimmed text, and the state block when `diagnostics` is given.
QString body(const QString& trimmedText, const std::optional<QString>& diagnostics);
// Delivers the request by the first route that works and returns the note for
// the user; none when the text is blank (nothing is sent then).
QCoro::Task<std::optional<QString>> send(QString text, std::optional<QString> diagnostics,
                                         ReportDelivery& delivery);

} // namespace TroubleshootingReport
