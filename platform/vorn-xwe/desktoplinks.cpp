// GIO first: its headers use names that Qt's keywords would replace.
#include <gio/gio.h>

#include "desktoplinks.h"

#include "platformfiles.h"
#include "status.h"

#include <QCryptographicHash>
#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QUrl>

namespace xwe {
namespace desktoplinks {

namespace {

// Desktop entry string escapes: one value stays one line.
QString escaped(const QString& value)
{
    QString text = value;
    text.replace(QLatin1Char('\\'), QLatin1String("\\\\"));
    text.replace(QLatin1Char('\n'), QLatin1String("\\n"));
    text.replace(QLatin1Char('\r'), QLatin1String("\\r"));
    text.replace(QLatin1Char('\t'), QLatin1String("\\t"));
    if (text.startsWith(QLatin1Char(' ')))
        text.replace(0, 1, QLatin1String("\\s"));
    return text;
}

// One argument of Exec: quoted, with the characters the quoting reserves and the field-code
// sign escaped; the string escapes come on top.
QString execArgument(const QString& argument)
{
    QString quoted;
    for (const QChar c : argument) {
        if (c == QLatin1Char('"') || c == QLatin1Char('`') || c == QLatin1Char('$') || c == QLatin1Char('\\'))
            quoted += QLatin1Char('\\');
        quoted += c;
    }
    quoted.replace(QLatin1Char('%'), QLatin1String("%%"));
    return QLatin1Char('"') + quoted + QLatin1Char('"');
}

// What an earlier version of this library put on the desktop for a link.
QByteArray linkText(const QString& name, const QString& icon, const QString& url)
{
    QByteArray text = "[Desktop Entry]\nVersion=1.0\nType=Link\nName=" + escaped(name).toUtf8() + "\nURL="
        + escaped(url).toUtf8() + "\n";
    if (!icon.isEmpty())
        text += "Icon=" + escaped(icon).toUtf8() + "\n";
    return text;
}

void markTrusted(const QString& path)
{
    GFile* file = g_file_new_for_path(QFile::encodeName(path).constData());
    GError* error = nullptr;
    if (!g_file_set_attribute_string(file, "metadata::trusted", "true", G_FILE_QUERY_INFO_NONE, nullptr, &error)) {
        qWarning() << "vorn-xwe: desktop link not marked trusted, the desktop asks before opening it:" << path
                   << (error ? error->message : "");
        g_clear_error(&error);
    }
    g_object_unref(file);
}

} // namespace

QByteArray entryText(const QString& name, const QString& icon, const QString& url)
{
    QString text = QStringLiteral("[Desktop Entry]\nVersion=1.0\nType=Application\nName=") + escaped(name)
        + QStringLiteral("\nExec=xdg-open ") + escaped(execArgument(url)) + QStringLiteral("\nTerminal=false\n");
    if (!icon.isEmpty())
        text += QStringLiteral("Icon=") + escaped(icon) + QLatin1Char('\n');
    return text.toUtf8();
}

QString applicationPath(const QString& name)
{
    // Desktop file ids allow few characters: the title is known by its digest.
    const QByteArray digest = QCryptographicHash::hash(name.toUtf8(), QCryptographicHash::Sha256).toHex().left(16);
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation)
        + QStringLiteral("/applications/vorn-weblink-") + QString::fromLatin1(digest) + QStringLiteral(".desktop");
}

QString desktopPath(const QString& name)
{
    // The title comes from the server: one plain file name, never a path.
    QString file = name;
    file.replace(QRegularExpression(QStringLiteral("[/\\x00-\\x1f\\x7f]")), QStringLiteral("_"));
    if (file.startsWith(QLatin1Char('.')))
        file.replace(0, 1, QLatin1Char('_'));
    file = file.left(200);
    return QStandardPaths::writableLocation(QStandardPaths::DesktopLocation) + QLatin1Char('/') + file
        + QStringLiteral(".desktop");
}

bool isWebAddress(const QString& url)
{
    if (url.contains(QRegularExpression(QStringLiteral("[\\x00-\\x1f\\x7f]"))))
        return false;
    const QUrl parsed(url, QUrl::StrictMode);
    const QString scheme = parsed.scheme().toLower();
    return parsed.isValid() && !parsed.host().isEmpty()
        && (scheme == QLatin1String("http") || scheme == QLatin1String("https") || scheme == QLatin1String("ftp"));
}

int write(const QString& name, const QString& icon, const QString& url, bool onDesktop)
{
    if (!isWebAddress(url)) {
        qWarning() << "vorn-xwe: web link" << name << "is no web address:" << url;
        return InvalidArgument;
    }
    const QByteArray text = entryText(name, icon, url);
    int status = writeFileAtomic(applicationPath(name), text, 0644);
    if (status != Success)
        return status;
    const QString desktop = desktopPath(name);
    if (!onDesktop) {
        if (readFile(desktop) == linkText(name, icon, url))
            removeFile(desktop);
        return Success;
    }
    status = writeFileAtomic(desktop, text, 0755);
    if (status == Success)
        markTrusted(desktop);
    return status;
}

bool present(const QString& name, bool onDesktop)
{
    return QFileInfo::exists(applicationPath(name)) && (!onDesktop || QFileInfo::exists(desktopPath(name)));
}

} // namespace desktoplinks
} // namespace xwe
