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

QByteArray contentOf(QTemporaryFile& file) {
    file.seek(0);
    return file.readAll();
}

} // namespace

class AppLoggerTest : public QObject {
    Q_OBJECT

    QTemporaryFile captured;

private slots:
    void init() { QVERIFY(captured.open()); }

    void consoleLinesCarryTheTimeToTheMillisecond() {
        QCOMPARE(AppLogger::consoleLine(QTime(9, 5, 3, 42), AppLogger::Level::error,
                                        "NemotronStreaming", "x"),
                 QByteArray("[09:05:03.042] [ERROR] [Murmurvale.NemotronStreaming] x\n"));
    }

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
        const QString written =
            QString::fromUtf8(contentOf(captured)).remove(QRegularExpression(R"(\[[\d:.]{12}\] )"));
        QCOMPARE(written, QStringLiteral("[WARN] [Murmurvale.NemotronStreaming] careful\n"
                                         "[ERROR] [Murmurvale.NemotronStreaming] x ü\n"
                                         "[FAULT] [Murmurvale.NemotronStreaming] broken\n"));
    }

    void closedStandardErrorIsReportedOnStandardOutput() {
        {
            RedirectedStream stdoutToFile(STDOUT_FILENO, captured.fileName());
            RedirectedStream closedStderr(STDERR_FILENO, QString());
            AppLogger(QStringLiteral("AudioConverter")).warning("lost");
        }
        QCOMPARE(contentOf(captured),
                 QByteArray("Failed to write to stderr: Bad file descriptor\n"));
    }

    void defaultSubsystemAppliesToLaterLoggers() {
        const AppLogger before(QStringLiteral("A"));
        QCOMPARE(before.subsystem(), "com.quillory");
        AppLogger::setDefaultSubsystem("org.example.engine");
        const AppLogger after(QStringLiteral("A"));
        AppLogger::setDefaultSubsystem("com.quillory");
        QCOMPARE(before.subsystem(), "com.quillory");
        QCOMPARE(after.subsystem(), "org.example.engine");
        QCOMPARE(AppLogger("sub", "cat").subsystem(), "sub");
    }
};

QTEST_GUILESS_MAIN(AppLoggerTest)
#include "AppLoggerTest.moc"
