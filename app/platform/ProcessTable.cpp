#include "app/platform/ProcessTable.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <unistd.h>

namespace {

QByteArray readFile(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// "[Application]" section, "name=" key of the file Flatpak puts at the sandbox's root.
QString flatpakID(const QByteArray& info) {
    bool inApplication = false;
    for (const QByteArray& line : info.split('\n')) {
        const QByteArray trimmed = line.trimmed();
        if (trimmed.startsWith('['))
            inApplication = trimmed == "[Application]";
        else if (inApplication && trimmed.startsWith("name="))
            return QString::fromUtf8(trimmed.mid(5));
    }
    return {};
}

// Snap runs each application in a cgroup named "snap.<name>.<application>…".
QString snapName(const QByteArray& cgroup) {
    static const QRegularExpression unit(QStringLiteral("/snap\\.([a-z0-9-]+)\\."));
    const auto match = unit.match(QString::fromUtf8(cgroup));
    return match.hasMatch() ? match.captured(1) : QString();
}

std::optional<ProcessTable::Process> readProcess(const QDir& folder, qint64 id) {
    // "pid (comm) state ppid …": the command may itself contain ") ".
    const QByteArray stat = readFile(folder.filePath(QStringLiteral("stat")));
    const qsizetype open = stat.indexOf('(');
    const qsizetype close = stat.lastIndexOf(')');
    if (open < 0 || close < open)
        return std::nullopt;
    const QList<QByteArray> fields = stat.mid(close + 2).split(' ');
    if (fields.size() < 2 || fields[0] == "Z" || fields[0] == "X")
        return std::nullopt;
    ProcessTable::Process process{id,
                                  fields[1].toLongLong(),
                                  QString::fromUtf8(stat.mid(open + 1, close - open - 1)),
                                  id,
                                  {}};
    for (const QByteArray& line : readFile(folder.filePath(QStringLiteral("status"))).split('\n')) {
        if (line.startsWith("NSpid:"))
            process.namespaceID = line.mid(6).simplified().split(' ').last().toLongLong();
    }
    process.sandboxID = flatpakID(readFile(folder.filePath(QStringLiteral("root/.flatpak-info"))));
    if (process.sandboxID.isEmpty())
        process.sandboxID = snapName(readFile(folder.filePath(QStringLiteral("cgroup"))));
    return process;
}

} // namespace

ProcessTable::ProcessTable(QList<Process> processes) : m_processes(std::move(processes)) {
    for (qsizetype i = 0; i < m_processes.size(); ++i)
        m_byID.insert(m_processes[i].id, i);
}

ProcessTable ProcessTable::read(const QString& procRoot) {
    const QDir root(procRoot);
    const uint user = getuid();
    QList<Process> processes;
    for (const QString& entry : root.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        bool isNumber = false;
        const qint64 id = entry.toLongLong(&isNumber);
        const QFileInfo info(root.filePath(entry));
        if (!isNumber || info.ownerId() != user)
            continue;
        if (auto process = readProcess(QDir(info.filePath()), id))
            processes.append(*process);
    }
    return ProcessTable(std::move(processes));
}

const ProcessTable::Process* ProcessTable::find(qint64 id) const {
    const auto found = m_byID.constFind(id);
    return found == m_byID.cend() ? nullptr : &m_processes[*found];
}

qint64 ProcessTable::hostProcessOf(qint64 reportedID, const QString& binary,
                                   qint64 serverSeenID) const {
    if (serverSeenID > 0)
        return serverSeenID;
    const QString command = binary.left(15);
    const auto runs = [&](const Process& process) {
        return command.isEmpty() || process.name == command;
    };
    if (const Process* process = find(reportedID); process && runs(*process))
        return reportedID;
    for (const Process& process : m_processes) {
        if (process.namespaceID == reportedID && process.id != reportedID && runs(process))
            return process.id;
    }
    return reportedID;
}

const ProcessTable::Process*
ProcessTable::nearestAncestor(qint64 id, const std::function<bool(const Process&)>& matches) const {
    const Process* process = find(id);
    // The walk is bounded by the table's size, so a corrupt chain cannot loop.
    for (qsizetype steps = 0; process && steps < m_processes.size(); ++steps) {
        process = find(process->parentID);
        if (process && matches(*process))
            return process;
    }
    return nullptr;
}

bool ProcessTable::belongsTo(qint64 id, qint64 ancestorID) const {
    return id == ancestorID ||
           nearestAncestor(id, [&](const Process& process) { return process.id == ancestorID; });
}

qint64 ProcessTable::applicationRoot(qint64 id) const {
    const Process* process = find(id);
    for (qsizetype steps = 0; process && steps < m_processes.size(); ++steps) {
        const Process* parent = find(process->parentID);
        if (!parent || parent->name != process->name || parent == process)
            break;
        process = parent;
    }
    return process ? process->id : id;
}
