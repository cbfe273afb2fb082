#pragma once

#include <QByteArray>
#include <QString>

namespace xwe {
namespace storage {

// Device classes and permissions of SetStorageGlobalPermPolicy.
enum DeviceClass { UsbStorage = 1, Optical = 2 };
enum Permission { NoAccess = 0, ReadOnly = 1, ReadWrite = 2 };

// The rules file of a class below /etc/udev/rules.d.
QString rulesPath(int deviceClass);
// Its content for a permission; empty for read and write (no rules file).
QByteArray rulesText(int deviceClass, int permission);

// Writes or removes the rules, has udev reload them and re-applies them to the block
// devices present. Returns a status of status.h.
int apply(int deviceClass, int permission);

} // namespace storage
} // namespace xwe
