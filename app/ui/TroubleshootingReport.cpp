#include "app/ui/TroubleshootingReport.h"

#include <QUrlQuery>

namespace TroubleshootingReport {

QString supportAddress() {
    return QStringLiteral("support@relayo.app");
}

QString subject() {
    return QStringLiteral("[Relayo] 문제 해결 요청");
}

QString diagnostics(const DiagnosticsSnapshot& s) {
    const QString none = QStringLiteral("선택 안 함");
    QString caption = s.isListening   ? QStringLiteral("듣는 중")
                      : s.isPreparing ? QStringLiteral("준비 중")
                                      : QStringLiteral("멈춤");
    if (s.recognitionError)
        caption += QStringLiteral(" · 오류: ") + *s.recognitionError;
    return QStringLiteral("앱 버전: ") + s.appVersion.value_or(QStringLiteral("?")) +
           QStringLiteral("\nLinux: ") + s.systemVersion + QStringLiteral("\n상태: ") +
           s.phaseText + QStringLiteral(" (") + s.phaseRawValue +
           QStringLiteral(")\n마지막 안내: ") + s.statusMessage + QStringLiteral("\n회의 앱: ") +
           s.applicationTitle.value_or(none) + QStringLiteral(" · 목록 ") +
           QString::number(s.applicationCount) + QStringLiteral("개\n회의로 보낼 마이크: ") +
           s.deviceName.value_or(none) + QStringLiteral(" · 가상 마이크 ") +
           (s.hasBlackHole ? QStringLiteral("있음") : QStringLiteral("없음")) +
           QStringLiteral("\n목소리: ") + s.voiceName + QStringLiteral(" · ElevenLabs 연결 ") +
           (s.hasElevenLabsAPIKey ? QStringLiteral("됨") : QStringLiteral("안 됨")) +
           QStringLiteral("\n영어 자막: ") + caption;
}

QString body(const QString& trimmedText, const std::optional<QString>& diagnostics) {
    if (!diagnostics)
        return trimmedText;
    return trimmedText + QStringLiteral("\n\n---\n") + *diagnostics;
}

QCoro::Task<std::optional<QString>> send(QString text, std::optional<QString> diagnostics,
                                         ReportDelivery& delivery) {
    const QString trimmed = text.trimmed();
    if (trimmed.isEmpty())
        co_return std::nullopt;
    const QString mail = body(trimmed, diagnostics);
    const QString opened = QStringLiteral("메일 앱에서 보내기를 누르면 전달돼요.");
    if (co_await delivery.composeEmail(supportAddress(), subject(), mail))
        co_return opened;
    QUrl link;
    link.setScheme(QStringLiteral("mailto"));
    link.setPath(supportAddress());
    QUrlQuery query;
    query.addQueryItem(QStringLiteral("subject"), subject());
    query.addQueryItem(QStringLiteral("body"), mail);
    link.setQuery(query);
    if (link.isValid() && delivery.openUrl(link))
        co_return opened;
    delivery.copyToClipboard(mail);
    co_return QStringLiteral("메일 앱을 열지 못해 내용을 복사했어요. ") + supportAddress() +
        QStringLiteral("로 붙여 넣어 보내 주세요.");
}

} // namespace TroubleshootingReport
