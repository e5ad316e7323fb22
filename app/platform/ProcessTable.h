#pragma once

#include <QHash>
#include <QList>
#include <QString>
#include <functional>

// The user's running processes as /proc shows them, read once. Answers the
// questions the capture asks of a sound-server client: which process of this
// system it really is (a sandboxed client reports a process id of its own
// namespace) and which application's process tree it belongs to.
class ProcessTable {
public:
    struct Process {
        qint64 id = 0;
        qint64 parentID = 0;
        // The kernel's command name (at most 15 characters).
        QString name;
        // The process id inside the process's own namespace (equal to `id` when not sandboxed).
        qint64 namespaceID = 0;
        // The Flatpak application id or the Snap name; empty for a process that is not sandboxed.
        QString sandboxID;
    };

    ProcessTable() = default;
    explicit ProcessTable(QList<Process> processes);
    // The processes of the current user under `procRoot`; processes that vanish
    // while they are read are left out.
    static ProcessTable read(const QString& procRoot = QStringLiteral("/proc"));

    const QList<Process>& processes() const { return m_processes; }
    const Process* find(qint64 id) const;

    // The process behind a client that reports `reportedID` and runs `binary`:
    // `serverSeenID` when the sound server saw one; else the process of that id
    // when it runs that binary; else a sandboxed process whose own namespace
    // knows it by that id; else `reportedID` unchanged.
    qint64 hostProcessOf(qint64 reportedID, const QString& binary, qint64 serverSeenID = 0) const;
    // The closest ancestor of `id` (its parent, the parent's parent, …) that `matches`.
    const Process* nearestAncestor(qint64 id,
                                   const std::function<bool(const Process&)>& matches) const;
    // Whether `id` is `ancestorID` or one of its descendants.
    bool belongsTo(qint64 id, qint64 ancestorID) const;
    // The topmost process of the chain of parents that run the same command as `id`.
    qint64 applicationRoot(qint64 id) const;

private:
    QList<Process> m_processes;
    QHash<qint64, qsizetype> m_byID;
};
