#pragma once

#include <QJsonArray>
#include <QString>

// The daemon's record of the packages the server asked it to install. Entries
// only accumulate; a package counts as known by name, architecture and version.
class SoftwareList
{
public:
    // Entries of `packages` not yet in `stored` (by "package_name",
    // "architecture" and "version"), each with "installed_type" 1, appended to
    // `stored`. Packages are compared with `stored` only, not with each other.
    static QJsonArray merge(const QJsonArray& stored, const QJsonArray& packages);

    // The list stored at `path`; empty when the file is missing or not an array.
    static QJsonArray read(const QString& path);

    // Merges `packages` into the list at `path` and rewrites the file
    // atomically (compact JSON, mode 0644, directory created when missing).
    // False, with a warning, when it could not be written.
    static bool save(const QString& path, const QJsonArray& packages);
};
