#include "app/platform/DesktopEntries.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <QStandardPaths>

namespace {

// The keys of the "[Desktop Entry]" group, untranslated.
QHash<QString, QString> desktopEntryKeys(const QString& path) {
    QFile file(path);
    QHash<QString, QString> keys;
    if (!file.open(QIODevice::ReadOnly))
        return keys;
    bool inGroup = false;
    for (const QByteArray& raw : file.readAll().split('\n')) {
        const QString line = QString::fromUtf8(raw).trimmed();
        if (line.startsWith(u'['))
            inGroup = line == QStringLiteral("[Desktop Entry]");
        else if (const qsizetype equals = line.indexOf(u'='); inGroup && equals > 0)
            keys.insert(line.left(equals).trimmed(), line.mid(equals + 1).trimmed());
    }
    return keys;
}

QString commandOf(const QString& exec) {
    const QString first = exec.section(u' ', 0, 0, QString::SectionSkipEmpty).remove(u'"');
    return QFileInfo(first).fileName();
}

bool sameText(const QString& left, const QString& right) {
    return !left.isEmpty() && left.compare(right, Qt::CaseInsensitive) == 0;
}

} // namespace

DesktopEntries::DesktopEntries(QStringList dataFolders) : m_dataFolders(std::move(dataFolders)) {
    for (const QString& folder : m_dataFolders)
        readFolder(QDir(folder).filePath(QStringLiteral("applications")));
}

QStringList DesktopEntries::systemDataFolders() {
    QStringList folders = QStandardPaths::standardLocations(QStandardPaths::GenericDataLocation);
    folders << QDir::home().filePath(QStringLiteral(".local/share/flatpak/exports/share"))
            << QStringLiteral("/var/lib/flatpak/exports/share")
            << QStringLiteral("/var/lib/snapd/desktop");
    folders.removeDuplicates();
    return folders;
}

void DesktopEntries::readFolder(const QString& folder) {
    QSet<QString> known;
    for (const Entry& entry : m_entries)
        known.insert(entry.id);
    for (const QFileInfo& file :
         QDir(folder).entryInfoList({QStringLiteral("*.desktop")}, QDir::Files, QDir::Name)) {
        const QString id = file.completeBaseName();
        const auto keys = desktopEntryKeys(file.filePath());
        if (known.contains(id) ||
            keys.value(QStringLiteral("Type")) != QStringLiteral("Application"))
            continue;
        m_entries.append({id, keys.value(QStringLiteral("Name")),
                          keys.value(QStringLiteral("Icon")),
                          commandOf(keys.value(QStringLiteral("Exec"))),
                          keys.value(QStringLiteral("StartupWMClass"))});
    }
}

std::optional<DesktopEntries::Application>
DesktopEntries::find(const QString& sandboxID, const QString& binary, const QString& name) const {
    const auto first = [this](auto matches) -> const Entry* {
        const auto found = std::find_if(m_entries.begin(), m_entries.end(), matches);
        return found == m_entries.end() ? nullptr : &*found;
    };
    const Entry* entry = nullptr;
    if (!sandboxID.isEmpty())
        entry = first(
            [&](const Entry& e) { return e.id == sandboxID || e.id.startsWith(sandboxID + u'_'); });
    if (!entry && !binary.isEmpty())
        entry = first([&](const Entry& e) {
            return sameText(e.id, binary) || e.command == binary || sameText(e.windowClass, binary);
        });
    if (!entry)
        entry = first([&](const Entry& e) { return sameText(e.name, name); });
    return application(entry);
}

std::optional<DesktopEntries::Application> DesktopEntries::application(const Entry* entry) const {
    if (!entry || entry->name.isEmpty())
        return std::nullopt;
    return Application{entry->name, iconPath(entry->icon)};
}

QString DesktopEntries::iconPath(const QString& icon) const {
    if (icon.isEmpty())
        return {};
    if (QFileInfo(icon).isAbsolute())
        return QFileInfo(icon).isReadable() ? icon : QString();
    static const QStringList themeFolders{
        QStringLiteral("icons/hicolor/scalable/apps"), QStringLiteral("icons/hicolor/256x256/apps"),
        QStringLiteral("icons/hicolor/128x128/apps"),  QStringLiteral("icons/hicolor/64x64/apps"),
        QStringLiteral("icons/hicolor/48x48/apps"),    QStringLiteral("pixmaps")};
    for (const QString& folder : m_dataFolders) {
        for (const QString& themeFolder : themeFolders) {
            for (const char* extension : {".svg", ".png"}) {
                const QString path =
                    QDir(folder).filePath(themeFolder + u'/' + icon + QLatin1String(extension));
                if (QFileInfo(path).isReadable())
                    return path;
            }
        }
    }
    return {};
}
