#include "speech-engine/AppLogger.h"

#include <QRegularExpression>
#include <QTemporaryFile>
#include <QTest>

#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

namespace {

// Points standard error's descriptor at a file for one scope.
class RedirectedStandardError {
public:
    explicit RedirectedStandardError(const QString& path) : m_saved(::dup(STDERR_FILENO)) {
        std::fflush(nullptr);
        const int target = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_TRUNC);
        ::dup2(target, STDERR_FILENO);
        ::close(target);
    }
    ~RedirectedStandardError() {
        std::fflush(nullptr);
        ::dup2(m_saved, STDERR_FILENO);
        ::close(m_saved);
    }

private:
    int m_saved;
};

} // namespace

class AppLoggerTest : public QObject {
    Q_OBJECT

private slots:
    // Each line starts with the time to the millisecond.
    void warningsAndWorseReachStandardError() {
        QTemporaryFile captured;
        QVERIFY(captured.open());
        const AppLogger logger(QStringLiteral("NemotronStreaming"));
        {
            RedirectedStandardError toFile(captured.fileName());
            logger.debug("quiet");
            logger.info("quiet");
            logger.notice("quiet");
            logger.warning("careful");
            logger.error("x ü");
            logger.fault("broken");
        }
        const QRegularExpression time(QStringLiteral(R"(^\[\d\d:\d\d:\d\d\.\d{3}\] )"),
                                      QRegularExpression::MultilineOption);
        const auto text = QString::fromUtf8(captured.readAll());
        QCOMPARE(text.count(time), 3);
        QCOMPARE(QString(text).remove(time),
                 QStringLiteral("[WARN] [Murmurvale.NemotronStreaming] careful\n"
                                "[ERROR] [Murmurvale.NemotronStreaming] x ü\n"
                                "[FAULT] [Murmurvale.NemotronStreaming] broken\n"));
    }
};

QTEST_GUILESS_MAIN(AppLoggerTest)
#include "AppLoggerTest.moc"
