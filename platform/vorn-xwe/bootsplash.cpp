#include "bootsplash.h"

#include "platformfiles.h"
#include "platformtools.h"
#include "rootpath.h"
#include "status.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringList>

namespace xwe {
namespace bootsplash {

const char* const kGrubDropIn = "/etc/default/grub.d/90-vorn-xwe-background.cfg";

namespace {

const char* const kPictureBase = "/boot/grub/vorn-xwe-background";
const char* const kSuffixes[] = {".png", ".jpg", ".tga"};

} // namespace

// GRUB reads PNG, JPEG and TGA, chosen by the file name's suffix: the suffix follows the
// content, whatever the downloaded file was called. Empty: not a picture GRUB can show.
QString pictureTarget(const QByteArray& head)
{
    if (head.startsWith("\x89PNG\r\n\x1a\n"))
        return QLatin1String(kPictureBase) + QLatin1String(".png");
    if (head.startsWith("\xff\xd8\xff"))
        return QLatin1String(kPictureBase) + QLatin1String(".jpg");
    return QString();
}

int apply(const QString& picture)
{
    if (!toolAvailable(QStringLiteral("update-grub")))
        return NotSupported;
    const QByteArray data = readFile(picture);
    if (data.isNull())
        return FileNotFound;
    const QString target = pictureTarget(data.left(8));
    if (target.isEmpty()) {
        qWarning() << "vorn-xwe:" << picture << "is neither PNG nor JPEG";
        return InvalidArgument;
    }
    for (const char* suffix : kSuffixes) {
        const QString other = QLatin1String(kPictureBase) + QLatin1String(suffix);
        if (other != target)
            removeFile(sysrootPath(other));
    }
    int status = writeFileAtomic(sysrootPath(target), data, 0644);
    if (status != Success)
        return status;
    const QByteArray dropIn = "# Boot background of the endpoint-management policy.\nGRUB_BACKGROUND=\""
        + target.toUtf8() + "\"\n";
    status = writeFileAtomic(sysrootPath(QString::fromLatin1(kGrubDropIn)), dropIn, 0644);
    if (status != Success)
        return status;
    return runTool(QStringLiteral("update-grub"), {}) == ToolOutcome::Ok ? Success : Refused;
}

int reset()
{
    bool removed = false;
    int status = Success;
    QStringList paths{sysrootPath(QString::fromLatin1(kGrubDropIn))};
    for (const char* suffix : kSuffixes)
        paths.append(sysrootPath(QLatin1String(kPictureBase) + QLatin1String(suffix)));
    for (const QString& path : paths) {
        if (!QFileInfo::exists(path) && !QFileInfo(path).isSymLink())
            continue;
        removed = true;
        const int one = removeFile(path);
        if (one != Success)
            status = one;
    }
    if (status != Success || !removed)
        return status;
    // Without GRUB there is no grub.cfg that could still name the picture.
    if (!toolAvailable(QStringLiteral("update-grub")))
        return Success;
    return runTool(QStringLiteral("update-grub"), {}) == ToolOutcome::Ok ? Success : Refused;
}

} // namespace bootsplash
} // namespace xwe
