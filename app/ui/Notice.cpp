#include "app/ui/Notice.h"

#include "app/core/Observable.h"

#include <QRegularExpression>

namespace {

Notice attention(QString title, std::optional<QString> detail,
                 std::optional<QString> actionTitle = std::nullopt,
                 Notice::Action action = Notice::Action::none) {
    return {Notice::Kind::attention, std::move(title), std::move(detail), std::move(actionTitle),
            action};
}

} // namespace

std::optional<Notice> Notice::forStatus(AssistPhase phase, const QString& message,
                                        bool hasBlackHole) {
    if (phase != AssistPhase::error)
        return std::nullopt;
    // Linux asks for no permissions here: what fails is the sound server, fixed in the sound
    // settings.
    if (message.contains(QStringLiteral("sound server so the app")))
        return attention(
            QStringLiteral("소리 서버에 연결하지 못했어요"),
            QStringLiteral(
                "고른 회의 앱의 소리만 듣기 위해 필요해요. 소리 설정에서 PulseAudio가 켜져 있는지 "
                "확인한 뒤 앱을 다시 열어 주세요."),
            QStringLiteral("소리 설정 열기"), Action::openSoundSettings);
    if (message.contains(QStringLiteral("speech recognition is not available")))
        return attention(
            QStringLiteral("마이크와 음성 인식을 쓸 수 없어요"),
            QStringLiteral(
                "한국어 답변을 알아듣기 위해 필요해요. 소리 설정에서 마이크를 확인해 주세요."),
            QStringLiteral("소리 설정 열기"), Action::openSoundSettings);
    if (message.contains(QStringLiteral("virtual microphone"))) {
        if (hasBlackHole)
            return attention(QStringLiteral("회의로 보낼 마이크를 골라 주세요"),
                             QStringLiteral("설정에서 가상 마이크를 고르면 상대방에게 들려요."),
                             QStringLiteral("설정 열기"), Action::openSettings);
        return attention(QStringLiteral("회의로 보낼 마이크를 골라 주세요"),
                         QStringLiteral("가상 마이크를 만든 뒤 설정에서 골라 주세요."),
                         QStringLiteral("가상 마이크 만들기"), Action::createVirtualMicrophone);
    }
    if (message.startsWith(QStringLiteral("Select the meeting application")))
        return attention(QStringLiteral("들을 회의 앱을 먼저 골라 주세요"),
                         QStringLiteral("Chrome이나 Zoom을 켠 뒤 1단계에서 골라 주세요."),
                         QStringLiteral("목록 새로고침"), Action::refreshApplications);
    if (message.startsWith(QStringLiteral("Connect ElevenLabs")))
        return attention(
            QStringLiteral("ElevenLabs 목소리가 준비되지 않았어요"),
            QStringLiteral("설정에서 ElevenLabs를 연결하거나 Samantha·Daniel로 바꿔 주세요."),
            QStringLiteral("설정 열기"), Action::openSettings);
    if (message.startsWith(QStringLiteral("Choose or write an English answer")))
        return attention(QStringLiteral("보낼 영어 문장이 비어 있어요"),
                         QStringLiteral("2단계에서 한국어로 말하거나 영어 문장을 직접 써 주세요."));
    if (message.contains(QStringLiteral("‘다시 받기’")))
        return attention(message, std::nullopt, QStringLiteral("다시 받기"),
                         Action::downloadModels);
    static const QRegularExpression hangul(QStringLiteral("\\p{Hangul}"));
    if (message.contains(hangul))
        return attention(message, std::nullopt);
    return attention(QStringLiteral("문제가 생겼어요"), message);
}

Notice Notice::preparingModel() {
    return {Kind::info, QStringLiteral("영어 자막을 준비하고 있어요"),
            QStringLiteral("처음 한 번만 영어 음성 인식 모델(약 2.5GB)을 받아요. 다음부터는 바로 "
                           "시작해요."),
            std::nullopt, Action::none};
}

Notice Notice::previewFailed(const QString& failure) {
    return attention(QStringLiteral("미리 듣기를 끝까지 재생하지 못했어요"), failure);
}

Notice Notice::modelsOffer(int missing) {
    const QString size = missing > 1 ? QStringLiteral("약 5GB") : QStringLiteral("약 2.5GB");
    return {Kind::info, QStringLiteral("회의 전에 음성 모델을 받아 두세요"),
            QStringLiteral("영어 자막 모델과 한국어 답변 모델은 각각 약 2.5GB예요. 미리 받아 두면 "
                           "회의가 다운로드를 기다리지 않아요."),
            QStringLiteral("모델 받기 (%1)").arg(size), Action::downloadModels};
}

QVariantMap Notice::toVariant() const {
    return {
        {QStringLiteral("kind"),
         kind == Kind::attention ? QStringLiteral("attention") : QStringLiteral("info")},
        {QStringLiteral("title"), title},
        {QStringLiteral("detail"), variantOf(detail)},
        {QStringLiteral("actionTitle"),
         action == Action::none ? QVariant() : variantOf(actionTitle)},
    };
}
