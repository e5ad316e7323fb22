#include "app/platform/SpeechTool.h"

#include "app/core/ServiceError.h"

#include <QProcess>
#include <qcoro/qcoroprocess.h>

namespace {

// A long text takes espeak-ng a few seconds at most; anything longer is a hung tool.
constexpr std::chrono::seconds timeLimit{120};

QString espeakVoice(const QString& voice) {
    if (voice == QLatin1String("Samantha"))
        return QStringLiteral("en-us+f3");
    if (voice == QLatin1String("Daniel"))
        return QStringLiteral("en-gb+m3");
    return voice;
}

} // namespace

QCoro::Task<int> SpeechTool::speak(QString text, QString voice, QString outputPath) {
    QProcess process;
    process.setStandardOutputFile(QProcess::nullDevice());
    process.setStandardErrorFile(QProcess::nullDevice());
    // "--" keeps a text that starts with a dash from being read as an option.
    const QStringList arguments{QStringLiteral("-v"), espeakVoice(voice),
                                QStringLiteral("-s"), QString::number(wordsPerMinute),
                                QStringLiteral("-w"), outputPath,
                                QStringLiteral("--"), text};
    if (!co_await qCoro(process).start(QStringLiteral("espeak-ng"), arguments, QIODevice::ReadOnly))
        throw ServiceError(QStringLiteral("Could not start the speech tool espeak-ng: %1.")
                               .arg(process.errorString()),
                           QStringLiteral("QProcess"), process.error());
    if (!co_await qCoro(process).waitForFinished(timeLimit)) {
        process.kill();
        process.waitForFinished();
        co_return -1;
    }
    co_return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
}
