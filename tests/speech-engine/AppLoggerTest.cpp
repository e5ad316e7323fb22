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

    void consoleLineFormat_data() {
        QTest::addColumn<AppLogger::Level>("level");
        QTest::addColumn<QByteArray>("line");
        QTest::newRow("error") << AppLogger::Level::error
                               << QByteArray(
                                      "[09:05:03.042] [ERROR] [Murmurvale.NemotronStreaming] x\n");
        QTest::newRow("warning") << AppLogger::Level::warning
                                 << QByteArray(
                                        "[09:05:03.042] [WARN] [Murmurvale.NemotronStreaming] x\n");
        QTest::newRow("fault") << AppLogger::Level::fault
                               << QByteArray(
                                      "[09:05:03.042] [FAULT] [Murmurvale.NemotronStreaming] x\n");
    }
    void consoleLineFormat() {
        QFETCH(AppLogger::Level, level);
        QFETCH(QByteArray, line);
        QCOMPARE(AppLogger::consoleLine(QTime(9, 5, 3, 42), level, "NemotronStreaming", "x"), line);
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
        const auto lines = QString::fromUtf8(contentOf(captured)).split('\n');
        QCOMPARE(lines.size(), 4);
        QCOMPARE(lines.last(), "");
        const QString time = R"(^\[\d\d:\d\d:\d\d\.\d\d\d\] )";
        QVERIFY(QRegularExpression(time + R"(\[WARN\] \[Murmurvale.NemotronStreaming\] careful$)")
                    .match(lines[0])
                    .hasMatch());
        QVERIFY(QRegularExpression(time + R"(\[ERROR\] \[Murmurvale.NemotronStreaming\] x ü$)")
                    .match(lines[1])
                    .hasMatch());
        QVERIFY(QRegularExpression(time + R"(\[FAULT\] \[Murmurvale.NemotronStreaming\] broken$)")
                    .match(lines[2])
                    .hasMatch());
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
