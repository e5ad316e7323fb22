#pragma once

#include <QString>

#include <optional>

// A model folder's "manifest.json", which lists every other file of the folder with the size and
// SHA-256 the import wrote. Loading compares the sizes, which costs a stat per file, so that a
// truncated or emptied file is never taken as a model; the hashes are checked by the import,
// on the files as they are on disk (checking them at every load would read the whole folder,
// about 1.4 s for a 2.5 GB one).
namespace ModelFolderManifest {
// What keeps `folder` from being a loadable model folder, as a sentence: a file the engine loads
// that is missing, a listed file whose size is not the listed one, or a manifest that cannot be
// read. A folder imported before manifests existed needs only its files.
std::optional<QString> fault(const QString& folder);

// Only the manifest's part of that: a listed file whose size is not the listed one, or a
// manifest that cannot be read; nothing for a folder without a manifest.
std::optional<QString> mismatch(const QString& folder);

// A folder an import made: it has a manifest or, imported before manifests existed, every file
// the engine loads. Only such a folder may be replaced by an import.
bool marksModelFolder(const QString& folder);
} // namespace ModelFolderManifest
