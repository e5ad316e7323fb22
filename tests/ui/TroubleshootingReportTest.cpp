#include "app/ui/TroubleshootingReport.h"

#include <QTest>
#include <QUrlQuery>
#include <qcoro/qcorotask.h>

namespace {

// Records what each route received; each route works or not as told.
class FakeDelivery : public ReportDelivery {
public:
    bool composeWorks = false;
    bool urlWorks = false;
    QStringList composed;
    QList<QUrl> opened;
    QStringList copied;

    QCoro::Task<bool> composeEmail(QString recipient, QString subject, QString body) override {
        composed << recipient << subject << body;
        co_return composeWorks;
    }
    bool openUrl(const QUrl& url) override {
        opened << url;
        return urlWorks;
    }
    void copyToClipboard(const QString& text) override { copied << text; }
};

std::optional<QString> sendNow(const QString& text, const std::optional<QString>& diagnostics,
                               ReportDelivery& delivery) {
    return QCoro::waitFor(TroubleshootingReport::send(text, diagnostics, delivery));
}

DiagnosticsSnapshot fullState() {
    DiagnosticsSnapshot state;
    state.appVersion = QStringLiteral("0.1.0");
    state.systemVersion = QStringLiteral("Debian GNU/Linux 12 (bookworm)");
    state.phaseText = QStringLiteral("확인이 필요해요");
    state.phaseRawValue = QStringLiteral("Needs attention");
    state.statusMessage = QStringLiteral("Select the meeting application first.");
    state.applicationTitle = QStringLiteral("Zoom");
    state.applicationCount = 3;
    state.deviceName = QStringLiteral("Relayo Virtual Microphone");
    state.hasBlackHole = true;
    state.voiceName = QStringLiteral("Daniel");
    state.hasElevenLabsAPIKey = true;
    state.isListening = true;
    state.isPreparing = true;
    state.recognitionError = QStringLiteral("Model missing");
    return state;
}

const QString opened = QStringLiteral("메일 앱에서 보내기를 누르면 전달돼요.");

} // namespace

class TroubleshootingReportTest : public QObject {
    Q_OBJECT

private slots:
    void diagnosticsWithEverySelection() {
        QCOMPARE(TroubleshootingReport::diagnostics(fullState()),
                 QStringLiteral("앱 버전: 0.1.0\nLinux: Debian GNU/Linux 12 (bookworm)\n"
                                "상태: 확인이 필요해요 (Needs attention)\n"
                                "마지막 안내: Select the meeting application first.\n"
                                "회의 앱: Zoom · 목록 3개\n"
                                "회의로 보낼 마이크: Relayo Virtual Microphone · 가상 마이크 있음\n"
                                "목소리: Daniel · ElevenLabs 연결 됨\n"
                                "영어 자막: 듣는 중 · 오류: Model missing"));
    }

    void diagnosticsWithoutVersionOrSelections() {
        DiagnosticsSnapshot state;
        state.systemVersion = QStringLiteral("Linux");
        state.phaseText = QStringLiteral("준비됐어요");
        state.phaseRawValue = QStringLiteral("Ready");
        state.voiceName = QStringLiteral("Samantha");
        state.isPreparing = true;
        QCOMPARE(
            TroubleshootingReport::diagnostics(state),
            QStringLiteral("앱 버전: ?\nLinux: Linux\n상태: 준비됐어요 (Ready)\n마지막 안내: \n"
                           "회의 앱: 선택 안 함 · 목록 0개\n"
                           "회의로 보낼 마이크: 선택 안 함 · 가상 마이크 없음\n"
                           "목소리: Samantha · ElevenLabs 연결 안 됨\n영어 자막: 준비 중"));
        state.isPreparing = false;
        QVERIFY(
            TroubleshootingReport::diagnostics(state).endsWith(QStringLiteral("영어 자막: 멈춤")));
    }

    void mailApplicationFirstAndNothingForBlankText() {
        FakeDelivery delivery;
        delivery.composeWorks = true;
        QCOMPARE(sendNow(QStringLiteral(" \n\t "), QStringLiteral("state"), delivery),
                 std::nullopt);
        QVERIFY(delivery.composed.isEmpty());
        QCOMPARE(sendNow(QStringLiteral("  No captions \n"), QStringLiteral("state"), delivery),
                 opened);
        QCOMPARE(delivery.composed, (QStringList{QStringLiteral("support@relayo.app"),
                                                 QStringLiteral("[Relayo] 문제 해결 요청"),
                                                 QStringLiteral("No captions\n\n---\nstate")}));
        QVERIFY(delivery.opened.isEmpty() && delivery.copied.isEmpty());
    }

    void thenAMailLinkThenTheClipboard() {
        FakeDelivery delivery;
        QCOMPARE(
            sendNow(QStringLiteral("Help"), QStringLiteral("state"), delivery),
            QStringLiteral("메일 앱을 열지 못해 내용을 복사했어요. support@relayo.app로 붙여 넣어 "
                           "보내 주세요."));
        QCOMPARE(delivery.copied, QStringList{QStringLiteral("Help\n\n---\nstate")});

        delivery.urlWorks = true;
        const QString text = QStringLiteral("자막이 안 나와요 & 50% #1 + a=b");
        QCOMPARE(sendNow(text, std::nullopt, delivery), opened);
        QCOMPARE(delivery.opened.size(), 2);
        const QUrl link = delivery.opened.last();
        QCOMPARE(link.scheme(), QStringLiteral("mailto"));
        QCOMPARE(link.path(), QStringLiteral("support@relayo.app"));
        const QUrlQuery query(link);
        QCOMPARE(query.queryItemValue(QStringLiteral("subject"), QUrl::FullyDecoded),
                 QStringLiteral("[Relayo] 문제 해결 요청"));
        // Without the state block the body is exactly the trimmed text.
        QCOMPARE(query.queryItemValue(QStringLiteral("body"), QUrl::FullyDecoded), text);
        QCOMPARE(delivery.copied.size(), 1);
    }
};

QTEST_GUILESS_MAIN(TroubleshootingReportTest)
#include "TroubleshootingReportTest.moc"
