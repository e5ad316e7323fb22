#include "app/platform/ProcessTable.h"
#include "tests/support/WriteFile.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

namespace {

// Writes one process of a stand-in /proc: its stat line and whatever other files are given.
void writeProcess(const QDir& proc, qint64 id, const QByteArray& stat,
                  const QList<std::pair<QString, QByteArray>>& files = {}) {
    const QDir folder(proc.filePath(QString::number(id)));
    for (const auto& [name, content] :
         files + QList<std::pair<QString, QByteArray>>{{"stat", stat}})
        writeFile(folder.filePath(name), content);
}

} // namespace

class ProcessTableTest : public QObject {
    Q_OBJECT

private slots:
    void readsProcessesAndTheirSandboxes() {
        QTemporaryDir folder;
        const QDir proc(folder.path());
        writeProcess(proc, 10, "10 (chrome) S 1 10 10 0",
                     {{"status", "Name:\tchrome\nNSpid:\t10\n"}});
        writeProcess(
            proc, 21, "21 (zoom) S 20 21 21 0",
            {{"status", "Name:\tzoom\nNSpid:\t21\t2\n"},
             {"root/.flatpak-info", "[Instance]\nname=x\n[Application]\nname=us.zoom.Zoom\n"}});
        writeProcess(
            proc, 30, "30 (teams) S 1 30 30 0",
            {{"cgroup", "0::/user.slice/snap.teams-for-linux.teams-for-linux-1f2e.scope\n"}});
        writeProcess(proc, 40, "40 (odd) name) R 1 40 40 0");
        writeProcess(proc, 50, "50 (gone) Z 1 50 50 0");
        writeProcess(proc, 60, "garbage");
        QVERIFY(proc.mkpath("self"));

        QStringList read;
        const ProcessTable table = ProcessTable::read(folder.path());
        for (const auto& process : table.processes())
            read << QStringLiteral("%1:%2:%3:%4:%5")
                        .arg(process.id)
                        .arg(process.parentID)
                        .arg(process.name)
                        .arg(process.namespaceID)
                        .arg(process.sandboxID);
        read.sort();
        QCOMPARE(read, (QStringList{"10:1:chrome:10:", "21:20:zoom:2:us.zoom.Zoom",
                                    "30:1:teams:30:teams-for-linux", "40:1:odd) name:40:"}));
    }

    // A parent chain that loops ends instead of hanging.
    void aLoopingTreeEnds() {
        const ProcessTable loop({{1, 2, "a", 1, {}}, {2, 1, "a", 2, {}}});
        QVERIFY(!loop.belongsTo(1, 3));
        QVERIFY(loop.applicationRoot(1) > 0);
    }
};

QTEST_GUILESS_MAIN(ProcessTableTest)
#include "ProcessTableTest.moc"
