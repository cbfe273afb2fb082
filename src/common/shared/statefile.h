#pragma once

#include <QFileDevice>
#include <QJsonDocument>
#include <QJsonObject>
#include <QString>

#include <functional>

namespace vorn {
namespace base {

// One JSON object of a program's state kept in one file: read whole and
// checked, replaced atomically (AtomicFile::write), so a reader never
// sees half a file and a crash never leaves one.
//
// A damaged file (not a JSON object, or refused by the caller's check) is
// never trusted and never deleted: it is moved aside to "<name>.damaged",
// replacing an earlier one, with a log line that starts with the caller's
// text, and the caller starts afresh. What it held (a receipt still owed, say)
// can still be recovered by hand. A file that exists but cannot be opened is
// reported the same way and left where it is.
class StateFile
{
public:
    enum class Status { Missing, Ok, Damaged };
    // Leave: a reader that does not hold the writers' lock reports a damaged
    // file but leaves moving it aside to the next writer.
    enum class OnDamage { MoveAside, Leave };
    // Whether an object read back is one the caller can use.
    using Check = std::function<bool(const QJsonObject& content)>;

    static const QString kDamagedSuffix;

    // damagedText: the start of the log line for a damaged file.
    StateFile(const QString& path, const QString& damagedText,
              QFileDevice::Permissions permissions = QFileDevice::ReadOwner | QFileDevice::WriteOwner
                  | QFileDevice::ReadGroup | QFileDevice::ReadOther);

    QString path() const;

    // The object in the file; empty when it is missing or damaged.
    QJsonObject read(Status* status = nullptr, const Check& check = Check(),
                     OnDamage onDamage = OnDamage::MoveAside) const;
    // Replaces the file with `content`; false, with a log line, when it could not.
    bool write(const QJsonObject& content,
               QJsonDocument::JsonFormat format = QJsonDocument::Indented) const;

private:
    void damaged(const QString& reason, OnDamage onDamage) const;

    QString m_path;
    QString m_damagedText;
    QFileDevice::Permissions m_permissions;
};

} // namespace base
} // namespace vorn
