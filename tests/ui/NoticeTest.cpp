#include "app/ui/Notice.h"

#include <QTest>

using Action = Notice::Action;

class NoticeTest : public QObject {
    Q_OBJECT

private slots:
    void markersInOrder_data() {
        QTest::addColumn<QString>("message");
        QTest::addColumn<bool>("hasBlackHole");
        QTest::addColumn<QString>("title");
        QTest::addColumn<QString>("detail");
        QTest::addColumn<QString>("actionTitle");
        QTest::addColumn<Action>("action");
        const QString soundServerDetail =
            QStringLiteral("고른 회의 앱의 소리만 듣기 위해 필요해요. 소리 설정에서 PulseAudio가 "
                           "켜져 있는지 확인한 뒤 앱을 다시 열어 주세요.");
        QTest::newRow("sound server")
            << "Connect to the sound server so the app can listen only to the selected meeting "
               "app. x"
            << false << "소리 서버에 연결하지 못했어요" << soundServerDetail << "소리 설정 열기"
            << Action::openSoundSettings;
        QTest::newRow("microphone and recogniser")
            << "Microphone or speech recognition is not available." << false
            << "마이크와 음성 인식을 쓸 수 없어요"
            << "한국어 답변을 알아듣기 위해 필요해요. 소리 설정에서 마이크를 확인해 주세요."
            << "소리 설정 열기" << Action::openSoundSettings;
        QTest::newRow("no virtual microphone")
            << "Select a virtual microphone output such as Relayo Virtual Microphone." << false
            << "회의로 보낼 마이크를 골라 주세요"
            << "가상 마이크를 만든 뒤 설정에서 골라 주세요."
            << "가상 마이크 만들기" << Action::createVirtualMicrophone;
        QTest::newRow("virtual microphone present")
            << "Select a virtual microphone output such as Relayo Virtual Microphone." << true
            << "회의로 보낼 마이크를 골라 주세요"
            << "설정에서 가상 마이크를 고르면 상대방에게 들려요."
            << "설정 열기" << Action::openSettings;
        QTest::newRow("no application")
            << "Select the meeting application first." << false << "들을 회의 앱을 먼저 골라 주세요"
            << "Chrome이나 Zoom을 켠 뒤 1단계에서 골라 주세요."
            << "목록 새로고침" << Action::refreshApplications;
        QTest::newRow("elevenlabs")
            << "Connect ElevenLabs and select a voice, or switch to a free local voice." << false
            << "ElevenLabs 목소리가 준비되지 않았어요"
            << "설정에서 ElevenLabs를 연결하거나 Samantha·Daniel로 바꿔 주세요."
            << "설정 열기" << Action::openSettings;
        QTest::newRow("empty answer")
            << "Choose or write an English answer first." << false << "보낼 영어 문장이 비어 있어요"
            << "2단계에서 한국어로 말하거나 영어 문장을 직접 써 주세요." << QString()
            << Action::none;
        // The earlier marker wins when a message carries two.
        QTest::newRow("sound server first")
            << "The sound server so the app, and speech recognition is not available" << false
            << "소리 서버에 연결하지 못했어요" << soundServerDetail << "소리 설정 열기"
            << Action::openSoundSettings;
        QTest::newRow("prefix only at the start")
            << "Please Select the meeting application first." << false << "문제가 생겼어요"
            << "Please Select the meeting application first." << QString() << Action::none;
        QTest::newRow("korean message")
            << "한국어 답변을 인식하지 못했습니다. 다시 말해 주세요." << false
            << "한국어 답변을 인식하지 못했습니다. 다시 말해 주세요." << QString() << QString()
            << Action::none;
        QTest::newRow("english message")
            << "The network connection was lost." << false << "문제가 생겼어요"
            << "The network connection was lost." << QString() << Action::none;
    }
    void markersInOrder() {
        QFETCH(QString, message);
        QFETCH(QString, detail);
        QFETCH(QString, actionTitle);
        QFETCH(bool, hasBlackHole);
        const std::optional<Notice> notice =
            Notice::forStatus(AssistPhase::error, message, hasBlackHole);
        QVERIFY(notice);
        QCOMPARE(notice->kind, Notice::Kind::attention);
        QFETCH(QString, title);
        QCOMPARE(notice->title, title);
        QCOMPARE(notice->detail, detail.isNull() ? std::nullopt : std::optional(detail));
        QCOMPARE(notice->actionTitle,
                 actionTitle.isNull() ? std::nullopt : std::optional(actionTitle));
        QFETCH(Action, action);
        QCOMPARE(notice->action, action);
    }

    void onlyTheErrorPhaseHasANotice() {
        const QString message = QStringLiteral("Select the meeting application first.");
        for (AssistPhase phase : AssistPhases::all) {
            QCOMPARE(Notice::forStatus(phase, message, false).has_value(),
                     phase == AssistPhase::error);
        }
    }

    void qmlSeesAbsentFieldsAsNull() {
        const QVariantMap korean =
            Notice::forStatus(AssistPhase::error, QStringLiteral("다시 말해 주세요."), false)
                ->toVariant();
        QCOMPARE(korean.value(QStringLiteral("kind")).toString(), QStringLiteral("attention"));
        QVERIFY(korean.value(QStringLiteral("detail")).isNull());
        QVERIFY(korean.value(QStringLiteral("actionTitle")).isNull());
        const QVariantMap preparing = Notice::preparingModel().toVariant();
        QCOMPARE(preparing.value(QStringLiteral("kind")).toString(), QStringLiteral("info"));
        QCOMPARE(preparing.value(QStringLiteral("title")).toString(),
                 QStringLiteral("영어 자막을 준비하고 있어요"));
        QVERIFY(preparing.value(QStringLiteral("actionTitle")).isNull());
    }
};

QTEST_GUILESS_MAIN(NoticeTest)
#include "NoticeTest.moc"
