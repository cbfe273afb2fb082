#pragma once

#include <QString>

namespace lumoctl {

// A status file opened for reading, or why it was not.
struct OpenedStatusFile
{
    int fd = -1;     // open for reading, the caller closes it; -1 when not opened
    int error = 0;   // errno of a failed open when `problem` is empty
    QString problem; // what is wrong with the file itself, said after its path
};

// Opens `path` for reading when it is a regular file with a single name that no symbolic
// link leads to below `trusted`, a directory that `path` lies in (when empty, the directory
// of `path`): a status file in a tree another user controls can make root read neither a
// file of root's nor a FIFO or a device node. Never blocks.
OpenedStatusFile openStatusFile(const QString& path, const QString& trusted = QString());

} // namespace lumoctl
