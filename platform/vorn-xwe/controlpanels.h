#pragma once

#include <QJsonObject>
#include <QString>
#include <QStringList>

namespace xwe {
namespace controlpanels {

// GNOME Settings' panels behind one control-centre module name; empty when GNOME has none.
QStringList panelsOf(const QString& module);
// Every module name the table knows.
QStringList modules();

// The user's override of one panel: $XDG_DATA_HOME/applications/gnome-<panel>-panel.desktop.
QString overridePath(const QString& panel);

// Hides every panel of allModules (all modules the table knows when that list is empty)
// that is not one of shown, through a Hidden=true override GNOME Settings reads before its
// own entry, and takes the overrides of the others away. A file of the user's own in the
// way is kept in saved ({path: content}) and put back by restore. NotEnforced when a
// module to hide has no panel on GNOME, or none in the GNOME Settings installed here (the
// log names it).
int apply(const QStringList& allModules, const QStringList& shown, QJsonObject& saved);
// Every panel shown again: the overrides removed, the user's own files back.
int restore(QJsonObject& saved);

} // namespace controlpanels
} // namespace xwe
