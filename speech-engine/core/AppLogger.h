#pragma once

#include <QDateTime>
#include <QString>

// The engine's logger: every message goes to the system log (syslog), and warnings and
// worse are also written as one line each to standard error. A logger is an immutable
// value that any thread may copy and use.
class AppLogger {
public:
    enum class Level { debug = 0, info = 1, notice = 2, warning = 3, error = 4, fault = 5 };

    explicit AppLogger(const QString& category);
    AppLogger(const QString& subsystem, const QString& category);

    // The subsystem of loggers made without one: "com.quillory".
    static QString defaultSubsystem();

    // "DEBUG", "INFO", "NOTICE", "WARN", "ERROR", "FAULT"
    static QString label(Level level);
    // "[HH:mm:ss.SSS] [LABEL] [Murmurvale.<category>] message\n"
    static QByteArray consoleLine(const QTime& time, Level level, const QString& category,
                                  const QString& message);

    const QString& subsystem() const { return m_subsystem; }
    const QString& category() const { return m_category; }

    void log(Level level, const QString& message) const;
    void debug(const QString& message) const { log(Level::debug, message); }
    void info(const QString& message) const { log(Level::info, message); }
    void notice(const QString& message) const { log(Level::notice, message); }
    void warning(const QString& message) const { log(Level::warning, message); }
    void error(const QString& message) const { log(Level::error, message); }
    void fault(const QString& message) const { log(Level::fault, message); }

private:
    void writeToSystemLog(Level level, const QString& message) const;
    void writeToStandardError(Level level, const QString& message) const;

    QString m_subsystem;
    QString m_category;
};
