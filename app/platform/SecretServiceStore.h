#pragma once

#include <QByteArray>
#include <QString>
#include <chrono>
#include <optional>
#include <qcoro/qcorotask.h>

// One item of the desktop's Secret Service (GNOME Keyring, KWallet, KeePassXC),
// found by its "service" and "account" attributes. The service may block (a
// locked keyring prompts, a stuck one never answers), so every call runs on a
// thread of its own and is awaited for at most `waitLimit`; past that it is
// cancelled and reported as timed out.
class SecretServiceStore {
public:
    // Status of a call that ran out of time (GIO's "timed out" code).
    static const int timedOut;

    SecretServiceStore(QString service, QString account, QString label,
                       std::chrono::milliseconds waitLimit);

    // Creates the item or replaces its secret in place; nothing on success, else the
    // Secret Service's error code (which may be 0).
    QCoro::Task<std::optional<int>> store(QByteArray secret) const;
    // The item's secret; absent when there is none or the store cannot be read.
    QCoro::Task<std::optional<QByteArray>> lookup() const;
    // Removes the item; a missing item or an unreachable store is not an error.
    QCoro::Task<> clear() const;

private:
    QByteArray m_service;
    QByteArray m_account;
    QByteArray m_label;
    std::chrono::milliseconds m_waitLimit;
};
