#pragma once

#include <QByteArray>
#include <QFileDevice>
#include <QString>

namespace vorn {
namespace base {

// Replacing a whole file so that no reader and no crash ever sees half of it.
class AtomicFile
{
public:
    // Replaces the file at path with data, creating missing parent
    // directories: written to a fresh hidden file beside it, flushed to disk
    // and renamed over the name, so that a planted link is replaced, never
    // followed, and a crash never leaves half a file under the name.
    static bool write(const QString& path, const QByteArray& data,
                      QFileDevice::Permissions permissions = QFileDevice::ReadOwner
                          | QFileDevice::WriteOwner | QFileDevice::ReadGroup
                          | QFileDevice::ReadOther);
    // Whether a file name is that of a write a crash interrupted.
    static bool isUnfinishedWrite(const QString& fileName);
};

} // namespace base
} // namespace vorn
