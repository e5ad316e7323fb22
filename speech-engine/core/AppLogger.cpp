#include "speech-engine/core/AppLogger.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <syslog.h>
#include <unistd.h>

namespace {

int syslogPriority(AppLogger::Level level) {
    switch (level) {
    case AppLogger::Level::debug:
        return LOG_DEBUG;
    case AppLogger::Level::info:
        return LOG_INFO;
    case AppLogger::Level::notice:
        return LOG_NOTICE;
    case AppLogger::Level::warning:
    case AppLogger::Level::error:
        return LOG_ERR;
    case AppLogger::Level::fault:
        return LOG_CRIT;
    }
    return LOG_ERR;
}

bool isMirroredToStandardError(AppLogger::Level level) {
    return level >= AppLogger::Level::warning;
}

// One write call, so lines from different threads never interleave within a line.
bool writeLine(int fd, const QByteArray& line) {
    ssize_t written;
    do {
        written = ::write(fd, line.constData(), std::size_t(line.size()));
    } while (written < 0 && errno == EINTR);
    if (written >= 0 && written < line.size())
        errno = EIO;
    return written == line.size();
}

} // namespace

AppLogger::AppLogger(const QString& category) : AppLogger(defaultSubsystem(), category) {}

AppLogger::AppLogger(const QString& subsystem, const QString& category)
    : m_subsystem(subsystem), m_category(category) {}

QString AppLogger::defaultSubsystem() {
    return QStringLiteral("com.quillory");
}

QString AppLogger::label(Level level) {
    switch (level) {
    case Level::debug:
        return QStringLiteral("DEBUG");
    case Level::info:
        return QStringLiteral("INFO");
    case Level::notice:
        return QStringLiteral("NOTICE");
    case Level::warning:
        return QStringLiteral("WARN");
    case Level::error:
        return QStringLiteral("ERROR");
    case Level::fault:
        return QStringLiteral("FAULT");
    }
    return {};
}

QByteArray AppLogger::consoleLine(const QTime& time, Level level, const QString& category,
                                  const QString& message) {
    return QStringLiteral("[%1] [%2] [Murmurvale.%3] %4\n")
        .arg(time.toString(QStringLiteral("HH:mm:ss.zzz")), label(level), category, message)
        .toUtf8();
}

void AppLogger::log(Level level, const QString& message) const {
    writeToSystemLog(level, message);
    if (isMirroredToStandardError(level))
        writeToStandardError(level, message);
}

void AppLogger::writeToSystemLog(Level level, const QString& message) const {
    const int priority = syslogPriority(level);
    if (!(setlogmask(0) & LOG_MASK(priority)))
        return;
    const auto line = QStringLiteral("%1[%2]: %3").arg(m_subsystem, m_category, message).toUtf8();
    syslog(priority, "%s", line.constData());
}

void AppLogger::writeToStandardError(Level level, const QString& message) const {
    const auto line = consoleLine(QTime::currentTime(), level, m_category, message);
    if (writeLine(STDERR_FILENO, line))
        return;
    const auto failure =
        QByteArray("Failed to write to stderr: ") + std::strerror(errno) + QByteArray("\n");
    writeLine(STDOUT_FILENO, failure);
}
