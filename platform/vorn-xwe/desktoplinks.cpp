#include "desktoplinks.h"

#include "platformfiles.h"

#include <QRegularExpression>
#include <QStandardPaths>

namespace xwe {
namespace desktoplinks {

namespace {

// Desktop entry string escapes: one value stays one line.
QByteArray escaped(const QString& value)
{
    QString text = value;
    text.replace(QLatin1Char('\\'), QLatin1String("\\\\"));
    text.replace(QLatin1Char('\n'), QLatin1String("\\n"));
    text.replace(QLatin1Char('\r'), QLatin1String("\\r"));
    text.replace(QLatin1Char('\t'), QLatin1String("\\t"));
    if (text.startsWith(QLatin1Char(' ')))
        text.replace(0, 1, QLatin1String("\\s"));
    return text.toUtf8();
}

} // namespace

QByteArray entryText(const QString& name, const QString& icon, const QString& url)
{
    QByteArray text = "[Desktop Entry]\nVersion=1.0\nType=Link\nName=" + escaped(name) + "\nURL=" + escaped(url) + "\n";
    if (!icon.isEmpty())
        text += "Icon=" + escaped(icon) + "\n";
    return text;
}

QString entryPath(const QString& name)
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

int write(const QString& name, const QString& icon, const QString& url)
{
    return writeFileAtomic(entryPath(name), entryText(name, icon, url), 0644);
}

} // namespace desktoplinks
} // namespace xwe
