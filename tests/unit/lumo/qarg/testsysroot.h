#pragma once

// The product resolves its fixed paths below VORN_SYSROOT once, when the
// program is loaded. A test binary therefore runs itself again as a child
// with VORN_SYSROOT at a fresh temporary directory, the lab's recording tool
// stand-ins first on PATH (and on the children's PATH) and their log inside
// that directory.

#include <QByteArray>
#include <QTemporaryDir>
#include <QtGlobal>

#include <cerrno>

#include <sys/wait.h>
#include <unistd.h>

namespace qargtest {

inline bool insideSysroot()
{
    return !qEnvironmentVariableIsEmpty("QARG_TEST_SYSROOT");
}

inline QString sysroot()
{
    return qEnvironmentVariable("VORN_SYSROOT");
}

inline QString stubLogPath()
{
    return qEnvironmentVariable("VORN_STUB_LOG");
}

inline int runInSysroot(char** argv)
{
    QTemporaryDir dir;
    if (!dir.isValid())
        return 1;
    const QByteArray root = dir.path().toLocal8Bit();
    qputenv("QARG_TEST_SYSROOT", "1");
    qputenv("VORN_SYSROOT", root);
    qputenv("VORN_STUB_LOG", root + "/stub-calls.jsonl");
    qputenv("VORN_XWE_BACKEND", "store");
    qputenv("PATH", QByteArray(QARG_TEST_STUBS_DIR) + ':' + qgetenv("PATH"));
    // Children of root get a fixed PATH; this puts the stand-ins in front of it.
    qputenv("VORN_CHILD_PATH", QByteArray(QARG_TEST_STUBS_DIR) + ":/usr/sbin:/usr/bin:/sbin:/bin");
    const pid_t pid = ::fork();
    if (pid < 0)
        return 1;
    if (pid == 0) {
        ::execv("/proc/self/exe", argv);
        ::_exit(127);
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR)
            return 1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}

} // namespace qargtest

// main() of a Qt Test class that needs its own sysroot.
#define QARG_TEST_MAIN_IN_SYSROOT(TestClass)                                                   \
    int main(int argc, char** argv)                                                            \
    {                                                                                          \
        if (!qargtest::insideSysroot())                                                        \
            return qargtest::runInSysroot(argv);                                               \
        QCoreApplication app(argc, argv);                                                      \
        TestClass test;                                                                        \
        return QTest::qExec(&test, argc, argv);                                                \
    }
