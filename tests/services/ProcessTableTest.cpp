#include "app/platform/ProcessTable.h"
#include "tests/support/WriteFile.h"

#include <QDir>
#include <QTemporaryDir>
#include <QTest>

class ProcessTableTest : public QObject {
    Q_OBJECT

private slots:
    void readsProcessesAndTheirSandboxes() {
        QTemporaryDir folder;
        const QDir proc(folder.path());
        // A stand-in /proc: stat lines, statuses, a Flatpak's info file and a snap's cgroup.
        for (const auto& [file, content] : QList<std::pair<QString, QByteArray>>{
                 {"10/stat", "10 (chrome) S 1 10 10 0"},
                 {"10/status", "Name:\tchrome\nNSpid:\t10\n"},
                 {"21/stat", "21 (zoom) S 20 21 21 0"},
                 {"21/status", "Name:\tzoom\nNSpid:\t21\t2\n"},
                 {"21/root/.flatpak-info",
                  "[Instance]\nname=x\n[Application]\nname=us.zoom.Zoom\n"},
                 {"30/stat", "30 (teams) S 1 30 30 0"},
                 {"30/cgroup", "0::/user.slice/snap.teams-for-linux.teams-for-linux-1f2e.scope\n"},
                 {"40/stat", "40 (odd) name) R 1 40 40 0"},
                 {"50/stat", "50 (gone) Z 1 50 50 0"},
                 {"60/stat", "garbage"}})
            writeFile(proc.filePath(file), content);
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
