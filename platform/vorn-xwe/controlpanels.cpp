#include "controlpanels.h"

#include "platformfiles.h"
#include "status.h"

#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QSet>
#include <QStandardPaths>

namespace xwe {
namespace controlpanels {

namespace {

struct Module {
    const char* name;
    const char* panels; // GNOME Settings panel ids, blank-separated; "" when GNOME has none
};

// Module names of the management server and the panels (panels/*/gnome-<id>-panel.desktop)
// that show the same thing in GNOME Settings 43 (Debian 12) or 48 (Debian 13); a panel id
// of only one of them is harmless on the other. A module without a panel cannot be hidden
// on GNOME. Gone in 48: default-apps and removable-media (sections of "applications" now),
// info-overview (now "about") and user-accounts (now "users").
const Module kModules[] = {
    {"accounts", "user-accounts users online-accounts"},
    {"applications", "applications"},
    {"background", "background"},
    {"bluetooth", "bluetooth"},
    {"color", "color"},
    {"datetime", "datetime"},
    {"defapp", "default-apps"},
    {"display", "display"},
    {"info", "info-overview about"},
    {"keyboard", "keyboard"},
    {"mouse", "mouse"},
    {"network", "network wifi wwan"},
    {"notifications", "notifications"},
    {"power", "power"},
    {"printers", "printers"},
    {"privacy", "privacy location camera microphone usage diagnostics screen firmware-security"},
    {"region", "region"},
    {"removable-media", "removable-media"},
    {"search", "search"},
    {"sharing", "sharing"},
    {"sound", "sound"},
    {"universal-access", "universal-access"},
    {"update", ""},
    {"wacom", "wacom"},
};

const char kMarker[] = "X-Vorn-Xwe-Hidden=true";

QByteArray overrideText(const QString& panel)
{
    return "[Desktop Entry]\nType=Application\nName=" + panel.toUtf8() + "\nExec=gnome-control-center "
        + panel.toUtf8() + "\nHidden=true\n" + kMarker + "\n";
}

// The panels of the GNOME Settings installed here: the ids of its own entries in the
// system's application directories (the user's own directory holds the overrides). Empty
// when GNOME Settings is not installed.
QSet<QString> installedPanels()
{
    static const QString prefix = QStringLiteral("gnome-");
    static const QString suffix = QStringLiteral("-panel.desktop");
    const QString own = QStandardPaths::writableLocation(QStandardPaths::ApplicationsLocation);
    QSet<QString> ids;
    for (const QString& dir : QStandardPaths::standardLocations(QStandardPaths::ApplicationsLocation)) {
        if (QDir(dir) == QDir(own))
            continue;
        for (const QString& name : QDir(dir).entryList({prefix + QLatin1Char('*') + suffix}, QDir::Files))
            ids.insert(name.mid(prefix.size(), name.size() - prefix.size() - suffix.size()));
    }
    return ids;
}

bool isOurs(const QString& path)
{
    return readFile(path).contains(kMarker);
}

// Hides one panel; a file of the user's own is kept first.
int hide(const QString& panel, QJsonObject& saved)
{
    const QString path = overridePath(panel);
    if (QFileInfo::exists(path) && !isOurs(path) && !saved.contains(path))
        saved.insert(path, QString::fromUtf8(readFile(path)));
    if (readFile(path) == overrideText(panel))
        return Success;
    return writeFileAtomic(path, overrideText(panel), 0644);
}

// Shows one panel again: our override goes, the user's own file comes back.
int show(const QString& path, QJsonObject& saved)
{
    if (saved.contains(path)) {
        const int status = writeFileAtomic(path, saved.value(path).toString().toUtf8(), 0644);
        if (status == Success)
            saved.remove(path);
        return status;
    }
    return QFileInfo::exists(path) && isOurs(path) ? removeFile(path) : Success;
}

} // namespace

QStringList panelsOf(const QString& module)
{
    for (const Module& m : kModules) {
        if (module == QLatin1String(m.name))
            return QString::fromLatin1(m.panels).split(QLatin1Char(' '), Qt::SkipEmptyParts);
    }
    return {};
}

QStringList modules()
{
    QStringList names;
    for (const Module& m : kModules)
        names.append(QLatin1String(m.name));
    return names;
}

QString overridePath(const QString& panel)
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation)
        + QStringLiteral("/applications/gnome-") + panel + QStringLiteral("-panel.desktop");
}

int apply(const QStringList& allModules, const QStringList& shown, QJsonObject& saved)
{
    const QStringList all = allModules.isEmpty() ? modules() : allModules;
    QSet<QString> shownPanels;
    for (const QString& module : shown) {
        for (const QString& panel : panelsOf(module))
            shownPanels.insert(panel);
    }
    const QSet<QString> installed = installedPanels();
    QSet<QString> hidden;
    int status = Success;
    for (const QString& module : all) {
        if (shown.contains(module))
            continue;
        const QStringList panels = panelsOf(module);
        if (panels.isEmpty()) {
            qWarning() << "vorn-xwe: control-centre module" << module << "has no GNOME Settings panel to hide";
            status = NotEnforced;
        } else if (!installed.isEmpty() && !installed.intersects(QSet<QString>(panels.begin(), panels.end()))) {
            // This version of GNOME Settings shows the module elsewhere: nothing hides it.
            qWarning() << "vorn-xwe: control-centre module" << module
                       << "has no panel in the GNOME Settings installed here";
            status = NotEnforced;
        }
        for (const QString& panel : panels) {
            if (shownPanels.contains(panel))
                continue;
            hidden.insert(panel);
            const int hid = hide(panel, saved);
            if (hid != Success)
                return hid;
        }
    }
    // Panels hidden by an earlier policy and shown now.
    for (const Module& m : kModules) {
        for (const QString& panel : panelsOf(QLatin1String(m.name))) {
            if (hidden.contains(panel))
                continue;
            const int shownStatus = show(overridePath(panel), saved);
            if (shownStatus != Success)
                return shownStatus;
        }
    }
    return status;
}

int restore(QJsonObject& saved)
{
    int status = Success;
    for (const Module& m : kModules) {
        for (const QString& panel : panelsOf(QLatin1String(m.name))) {
            const int shown = show(overridePath(panel), saved);
            if (shown != Success)
                status = shown;
        }
    }
    return status;
}

} // namespace controlpanels
} // namespace xwe
