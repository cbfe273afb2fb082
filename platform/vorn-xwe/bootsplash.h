#pragma once

#include <QByteArray>
#include <QString>

namespace xwe {
namespace bootsplash {

// The picture GRUB shows behind its menu, as GRUB reads it from /boot.
QString pictureTarget(const QByteArray& head);
extern const char* const kGrubDropIn;

// Copies the picture next to GRUB, sets GRUB_BACKGROUND in a drop-in of /etc/default/grub.d
// and regenerates grub.cfg with update-grub. A machine without GRUB: NotSupported.
int apply(const QString& picture);
// Takes the picture and the drop-in away again and regenerates grub.cfg (where GRUB is).
int reset();

} // namespace bootsplash
} // namespace xwe
