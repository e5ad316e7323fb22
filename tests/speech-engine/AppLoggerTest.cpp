#include "speech-engine/AppLogger.h"

#include <QRegularExpression>
#include <QTemporaryFile>
#include <QTest>

#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

namespace {

// Points a standard stream's descriptor at a file (or closes it) for one scope.
class RedirectedStream {
public:
    RedirectedStream(int fd, const QString& path) : m_fd(fd), m_saved(::dup(fd)) {
        std::fflush(nullptr);
        if (path.isEmpty()) {
            ::close(fd);
        } else {
            const int target = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_TRUNC);
            ::dup2(target, fd);
            ::close(target);
        }
    }
    ~RedirectedStream() {
        std::fflush(nullptr);
        ::dup2(m_saved, m_fd);
        ::close(m_saved);
    }

private:
    int m_fd;
    int m_saved;
};

} // namespace

class AppLoggerTest : public QObject {
    Q_OBJECT

    QTemporaryFile captured;

    QString capturedText() {
        captured.seek(0);
        return QString::fromUtf8(captured.readAll());
    }

private slots:
    void init() { QVERIFY(captured.open()); }

    // Each line starts with the time to the millisecond.
    void warningsAndWorseReachStandardError() {
        const AppLogger logger(QStringLiteral("NemotronStreaming"));
        {
            RedirectedStream stderrToFile(STDERR_FILENO, captured.fileName());
            logger.debug("quiet");
            logger.info("quiet");
            logger.notice("quiet");
            logger.warning("careful");
            logger.error("x ü");
            logger.fault("broken");
        }
        const QRegularExpression time(QStringLiteral(R"(^\[\d\d:\d\d:\d\d\.\d{3}\] )"),
                                      QRegularExpression::MultilineOption);
        QCOMPARE(capturedText().count(time), 3);
        QCOMPARE(capturedText().remove(time),
                 QStringLiteral("[WARN] [Murmurvale.NemotronStreaming] careful\n"
                                "[ERROR] [Murmurvale.NemotronStreaming] x ü\n"
                                "[FAULT] [Murmurvale.NemotronStreaming] broken\n"));
    }

    void closedStandardErrorIsReportedOnStandardOutput() {
        {
            RedirectedStream stdoutToFile(STDOUT_FILENO, captured.fileName());
            RedirectedStream closedStderr(STDERR_FILENO, QString());
            AppLogger(QStringLiteral("AudioConverter")).warning("lost");
        }
        QCOMPARE(capturedText(), "Failed to write to stderr: Bad file descriptor\n");
    }
};

QTEST_GUILESS_MAIN(AppLoggerTest)
#include "AppLoggerTest.moc"
