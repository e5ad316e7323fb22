#pragma once

#include <QByteArray>
#include <QtGlobal>

#include <optional>
#include <utility>
#include <vector>

// Sets or unsets environment variables until it goes, then puts back what each held before
// (or unsets it again), so that no test leaves its settings to the next.
class ScopedEnvironment {
public:
    ScopedEnvironment() = default;
    ScopedEnvironment(const ScopedEnvironment&) = delete;
    ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;
    ~ScopedEnvironment() {
        for (auto saved = m_saved.rbegin(); saved != m_saved.rend(); ++saved) {
            if (saved->second)
                qputenv(saved->first.constData(), *saved->second);
            else
                qunsetenv(saved->first.constData());
        }
    }

    void set(const char* name, const QByteArray& value) {
        remember(name);
        qputenv(name, value);
    }
    void unset(const char* name) {
        remember(name);
        qunsetenv(name);
    }

private:
    // Only the value from before the first change is put back.
    void remember(const char* name) {
        for (const auto& saved : m_saved)
            if (saved.first == name)
                return;
        m_saved.emplace_back(name, qEnvironmentVariableIsSet(name) ? std::optional(qgetenv(name))
                                                                   : std::nullopt);
    }

    std::vector<std::pair<QByteArray, std::optional<QByteArray>>> m_saved;
};
