#include "usbtestsandbox.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <cstdio>
#include <cstdlib>
#include <sys/wait.h>
#include <unistd.h>

namespace usbtest {

namespace {
const char* const kSandboxVar = "USB_TEST_SANDBOX";

// Each fake logs its call and prints data/<key> when present.
const char* const kFakes[][2] = {
    {"find", "key=find\n"},
    {"udevadm", "key=\"udevadm-$2\"\n"},
    {"lsblk", "key=\"$(echo \"$2\" | tr A-Z a-z)-$(basename \"$3\")\"\n"},
    {"blkid", "for a; do last=$a; done\nkey=\"label-$(basename \"$last\")\"\n"},
    {"sudo", "echo \"sudo $*\" >> \"$USB_TEST_SANDBOX/calls.log\"\nexec \"$@\"\n"},
};

bool writeFile(const QString& path, const QByteArray& data)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    return file.write(data) == data.size();
}

QString dataPath(const QString& key)
{
    QString name = key;
    name.replace(QLatin1Char('/'), QLatin1Char('_'));
    return UsbSandbox::dir() + QStringLiteral("/data/") + name;
}

bool createSandbox(const QString& top)
{
    QDir().mkpath(top + QStringLiteral("/bin"));
    QDir().mkpath(top + QStringLiteral("/data"));
    QDir().mkpath(top + QStringLiteral("/root/sys/bus/usb/drivers/usb"));
    for (const auto& fake : kFakes) {
        const QString name = QString::fromLatin1(fake[0]);
        QByteArray script = "#!/bin/sh\n";
        if (name == QLatin1String("sudo")) {
            script += fake[1];
        } else {
            script += "echo \"" + name.toLatin1() + " $*\" >> \"$USB_TEST_SANDBOX/calls.log\"\n";
            script += fake[1];
            script += "f=\"$USB_TEST_SANDBOX/data/$(echo \"$key\" | tr / _)\"\n"
                      "[ -f \"$f\" ] || exit 1\n"
                      "cat \"$f\"\n";
        }
        const QString path = top + QStringLiteral("/bin/") + name;
        if (!writeFile(path, script))
            return false;
        QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner
                                        | QFileDevice::ExeOwner | QFileDevice::ReadOther
                                        | QFileDevice::ExeOther);
    }
    return true;
}
} // namespace

int usbSandboxMain(int argc, char** argv, const std::function<int()>& body)
{
    if (qEnvironmentVariableIsSet(kSandboxVar))
        return body();

    // The sysroot is fixed when the program loads, so the tests run in a
    // child that starts with it already set.
    QTemporaryDir top;
    if (!top.isValid() || !createSandbox(top.path())) {
        fprintf(stderr, "cannot create the usb test sandbox\n");
        return 1;
    }
    const QByteArray path = QFile::encodeName(top.path() + QStringLiteral("/bin:"))
        + qgetenv("PATH");
    qputenv("PATH", path);
    // Children of root get a fixed PATH; the fakes go in front of it.
    qputenv("VORN_CHILD_PATH",
            QFile::encodeName(top.path() + QStringLiteral("/bin:/usr/sbin:/usr/bin:/sbin:/bin")));
    qputenv("VORN_SYSROOT", QFile::encodeName(top.path() + QStringLiteral("/root")));
    qputenv(kSandboxVar, QFile::encodeName(top.path()));

    const pid_t child = fork();
    if (child < 0)
        return 1;
    if (child == 0) {
        (void)argc;
        execv("/proc/self/exe", argv);
        _exit(127);
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}

QString UsbSandbox::dir()
{
    return qEnvironmentVariable(kSandboxVar);
}

void UsbSandbox::setToolOutput(const QString& key, const QByteArray& output)
{
    writeFile(dataPath(key), output);
}

void UsbSandbox::clearTools()
{
    QDir data(dir() + QStringLiteral("/data"));
    for (const QString& name : data.entryList(QDir::Files))
        data.remove(name);
    QFile::remove(dir() + QStringLiteral("/calls.log"));
}

QStringList UsbSandbox::toolCalls()
{
    QFile file(dir() + QStringLiteral("/calls.log"));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

QString UsbSandbox::controlFile(bool bind)
{
    return dir() + (bind ? QStringLiteral("/root/sys/bus/usb/drivers/usb/bind")
                         : QStringLiteral("/root/sys/bus/usb/drivers/usb/unbind"));
}

QString UsbSandbox::writtenBusId(bool bind)
{
    QFile file(controlFile(bind));
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    const QByteArray data = file.readAll();
    const int nul = data.indexOf('\0');
    return QString::fromUtf8(nul < 0 ? data : data.left(nul));
}

void UsbSandbox::resetControlFiles()
{
    for (bool bind : {true, false}) {
        const QString path = controlFile(bind);
        QFileInfo info(path);
        if (info.isDir())
            QDir(path).removeRecursively();
        else
            QFile::remove(path);
        writeFile(path, QByteArray());
    }
}

} // namespace usbtest
