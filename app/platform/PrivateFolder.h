#pragma once

#include <QByteArray>
#include <QString>
#include <QTemporaryDir>

// A folder under the system's temporary folder that only this user can enter
// (0700), removed with everything in it when the object goes. Synthesised voice
// lives here: nothing said outlives the window, and no other user can hear it.
class PrivateFolder {
public:
    // `prefix` starts the folder's name.
    explicit PrivateFolder(const QString& prefix);

    // Creates the new file `name`, readable by this user only (0600), with `contents`;
    // returns its path. Throws ServiceError when it cannot be written.
    QString writeFile(const QString& name, const QByteArray& contents = {}) const;
    QString path() const { return m_folder.path(); }

private:
    QTemporaryDir m_folder;
};
