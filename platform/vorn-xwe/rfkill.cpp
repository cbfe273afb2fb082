#include "rfkill.h"

#include "rootpath.h"
#include "status.h"

#include <QDebug>
#include <QFile>

#include <cerrno>
#include <fcntl.h>
#include <linux/rfkill.h>
#include <unistd.h>

namespace xwe {
namespace rfkill {

int setEnabled(Radio radio, bool enable)
{
    const QString path = xwe::sysrootPath(QStringLiteral("/dev/rfkill"));
    // O_APPEND: the device ignores it, a file standing in for it keeps every event.
    const int fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_APPEND | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        const int error = errno;
        qWarning() << "vorn-xwe: cannot open" << path << qt_error_string(error);
        // No rfkill interface: the kernel has no radio switch to turn.
        return error == ENOENT ? int(NotSupported) : int(Refused);
    }
    struct rfkill_event event {};
    event.idx = 0;
    event.type = radio == Radio::Bluetooth ? RFKILL_TYPE_BLUETOOTH : RFKILL_TYPE_WLAN;
    event.op = RFKILL_OP_CHANGE_ALL;
    event.soft = enable ? 0 : 1;
    event.hard = 0;
    // The first version of the record: every kernel since rfkill exists accepts it.
    const ssize_t size = RFKILL_EVENT_SIZE_V1;
    ssize_t written;
    do {
        written = ::write(fd, &event, size_t(size));
    } while (written < 0 && errno == EINTR);
    const int error = errno;
    ::close(fd);
    if (written != size) {
        qWarning() << "vorn-xwe: writing the rfkill event to" << path << "failed" << qt_error_string(error);
        return Refused;
    }
    return Success;
}

} // namespace rfkill
} // namespace xwe
