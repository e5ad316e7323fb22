#pragma once

#include <QList>
#include <QString>
#include <QStringList>
#include <optional>

// The applications the desktop knows (freedesktop desktop entries) and their
// icons (the hicolor icon theme and pixmaps), read once from data folders.
class DesktopEntries {
public:
    struct Application {
        QString name;
        // A readable icon file; empty when the desktop has none for it.
        QString iconPath;
    };

    // Reads the entries under `dataFolders` (earlier folders win, as on the desktop).
    explicit DesktopEntries(QStringList dataFolders);
    // The user's and the system's data folders, with those of Flatpak and Snap.
    static QStringList systemDataFolders();

    // The entry of a running program: by its sandbox id (Flatpak id or Snap name),
    // else by its binary (entry id, command or window class), else by its name.
    std::optional<Application> find(const QString& sandboxID, const QString& binary,
                                    const QString& name) const;
    // The file of a themed icon name (or an absolute icon path); empty when there is none.
    QString iconPath(const QString& icon) const;

private:
    struct Entry {
        QString id;
        QString name;
        QString icon;
        QString command;
        QString windowClass;
    };
    void readFolder(const QString& folder);
    std::optional<Application> application(const Entry* entry) const;

    QStringList m_dataFolders;
    QList<Entry> m_entries;
};
