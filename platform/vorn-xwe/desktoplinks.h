#pragma once

#include <QByteArray>
#include <QString>

namespace xwe {
namespace desktoplinks {

// The desktop entry of a web link: Type=Link with Name, URL and Icon.
QByteArray entryText(const QString& name, const QString& icon, const QString& url);
// Its file in the user's desktop directory (XDG user dirs), one per link name.
QString entryPath(const QString& name);

int write(const QString& name, const QString& icon, const QString& url);

} // namespace desktoplinks
} // namespace xwe
