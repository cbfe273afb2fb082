#pragma once

#include <QByteArray>
#include <QString>

namespace xwe {

// File helpers shared by the backends. Statuses are those of status.h.

// Copies source to <directory>/files/<label>.<source's suffix> (directories 0700, file 0600),
// so that the caller may delete its own file; *kept receives the copy's path.
int keepCopy(const QString& directory, const QString& source, const QString& label, QString* kept);

// Replaces path atomically with content (parents created 0755), with the given mode.
int writeFileAtomic(const QString& path, const QByteArray& content, int mode = 0644);

// Removes path; a file that is not there is fine.
int removeFile(const QString& path);

// The whole file, or a null array when it cannot be read.
QByteArray readFile(const QString& path);

} // namespace xwe
