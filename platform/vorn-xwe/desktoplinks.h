#pragma once

#include <QByteArray>
#include <QString>

namespace xwe {
namespace desktoplinks {

// A web link as GNOME shows it: an application entry (Type=Application, Exec=xdg-open with
// the address) in the app grid and search, and the same entry on the desktop where a
// desktop-icons extension draws one.
QByteArray entryText(const QString& name, const QString& icon, const QString& url);
// Its file among the user's applications ($XDG_DATA_HOME/applications), one per link name.
QString applicationPath(const QString& name);
// Its file in the user's desktop directory (XDG user dirs), one per link name.
QString desktopPath(const QString& name);
// Whether the address is one a browser opens (http, https or ftp, no control characters).
bool isWebAddress(const QString& url);

// Writes the application entry, and the desktop one when onDesktop (executable, not writable
// by others, and marked trusted so that the desktop runs it). An entry this library wrote
// earlier as a Type=Link file on the desktop, which GNOME never shows, is taken away.
int write(const QString& name, const QString& icon, const QString& url, bool onDesktop);
// Whether the files write would make are all there.
bool present(const QString& name, bool onDesktop);

} // namespace desktoplinks
} // namespace xwe
