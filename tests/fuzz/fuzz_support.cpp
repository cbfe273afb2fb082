#include "fuzz_support.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

namespace fuzzsupport {

namespace {
const char kRootVar[] = "VORN_FUZZ_ROOT";

pid_t g_child = 0;

void quiet(QtMsgType type, const QMessageLogContext&, const QString& message)
{
    // A fatal message is a crash of the program; keep it one.
    if (type == QtFatalMsg) {
        std::fprintf(stderr, "fatal: %s\n", qPrintable(message));
        std::abort();
    }
}

void forwardSignal(int signal)
{
    if (g_child > 0)
        ::kill(g_child, signal);
}

std::string sandboxBase()
{
    // Each run writes files; a memory file system keeps that fast.
    if (::access("/dev/shm", W_OK) == 0)
        return "/dev/shm";
    const char* tmp = std::getenv("TMPDIR");
    return tmp && *tmp ? tmp : "/tmp";
}

// Runs the program again inside a fresh sandbox directory and removes the
// directory when it ends, however it ends. Never returns.
[[noreturn]] void runInSandbox(char** argv)
{
    std::string path = sandboxBase() + "/vorn-fuzz-XXXXXX";
    if (!::mkdtemp(path.data())) {
        std::perror("mkdtemp");
        std::abort();
    }
    const std::string bus = "unix:path=" + path + "/no-bus";
    ::setenv(kRootVar, path.c_str(), 1);
    ::setenv("VORN_SYSROOT", path.c_str(), 1);
    ::setenv("HOME", (path + "/home").c_str(), 1);
    ::setenv("XDG_STATE_HOME", (path + "/state").c_str(), 1);
    ::setenv("XDG_CACHE_HOME", (path + "/cache").c_str(), 1);
    ::setenv("XDG_DATA_HOME", (path + "/data").c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", (path + "/config").c_str(), 1);
    ::setenv("DBUS_SYSTEM_BUS_ADDRESS", bus.c_str(), 1);
    ::setenv("DBUS_SESSION_BUS_ADDRESS", bus.c_str(), 1);
    ::unsetenv("VORN_XWE_BACKEND");
    ::unsetenv("VORN_XWE_FAIL");

    g_child = ::fork();
    if (g_child < 0) {
        std::perror("fork");
        std::abort();
    }
    if (g_child == 0) {
        ::execv("/proc/self/exe", argv);
        std::perror("re-executing in the sandbox");
        ::_exit(127);
    }

    // An interrupt from the terminal reaches both; the child reports and ends.
    std::signal(SIGINT, SIG_IGN);
    std::signal(SIGTERM, forwardSignal);
    int status = 0;
    while (::waitpid(g_child, &status, 0) < 0 && errno == EINTR) {
    }
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);

    if (WIFSIGNALED(status)) {
        std::signal(WTERMSIG(status), SIG_DFL);
        ::raise(WTERMSIG(status));
    }
    ::_exit(WIFEXITED(status) ? WEXITSTATUS(status) : 1);
}
} // namespace

void prepare(int* argc, char*** argv)
{
    Q_UNUSED(argc)
    // libFuzzer's worker processes share the sandbox of the process that made it.
    const char* existing = std::getenv(kRootVar);
    if (!existing || !*existing)
        runInSandbox(*argv);

    for (const char* dir : {"home", "state", "cache", "data", "config"})
        QDir().mkpath(root() + QLatin1Char('/') + QLatin1String(dir));

    if (qEnvironmentVariableIntValue("VORN_FUZZ_VERBOSE") == 0)
        qInstallMessageHandler(quiet);

    static int appArgc = 1;
    static char appName[] = "vorn-fuzz";
    static char* appArgv[] = {appName, nullptr};
    static QCoreApplication* app = new QCoreApplication(appArgc, appArgv);
    Q_UNUSED(app)
}

QString root()
{
    return QDir::cleanPath(qEnvironmentVariable(kRootVar));
}

void writeFile(const QString& relativePath, const QByteArray& content)
{
    const QString path = root() + QLatin1Char('/') + relativePath;
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(content) != content.size())
        fail(qPrintable(QStringLiteral("cannot write %1").arg(path)));
}

void fail(const char* what)
{
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
}

} // namespace fuzzsupport

// Qt 5.15's JSON parser leaks the container of a value that a duplicate key
// replaces, as in {"a":[1],"a":2}. Qt is built without frame pointers, so
// such a leak's stack ends inside Qt and only the library name matches it.
// Allocations the programs make themselves are still checked.
extern "C" const char* __lsan_default_suppressions()
{
    return "leak:libQt5Core.so\n";
}
