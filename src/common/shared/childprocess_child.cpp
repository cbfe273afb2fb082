// The child's side of ChildProcess: what runs between fork and exec, and
// how a whole process group is signalled.
#include "childprocess_child.h"

#include <csignal>
#include <cstddef>
#include <cstdint>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <unistd.h>

#if __has_include(<linux/close_range.h>)
#include <linux/close_range.h>
#endif

namespace vorn {
namespace base {

namespace {

constexpr int kFirstInheritable = 3;
constexpr rlim_t kMaxDescriptorScan = 65536;

struct LinuxDirent64
{
    std::uint64_t ino;
    std::int64_t off;
    unsigned short reclen;
    unsigned char type;
    char name[1];
};

bool markListedDescriptors()
{
    const int dir = ::open("/proc/self/fd", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0)
        return false;
    alignas(8) char buffer[4096];
    for (;;) {
        const long read = ::syscall(SYS_getdents64, dir, buffer, sizeof buffer);
        if (read <= 0)
            break;
        for (long offset = 0; offset < read;) {
            const auto* entry = reinterpret_cast<const LinuxDirent64*>(buffer + offset);
            offset += entry->reclen;
            int fd = 0;
            const char* c = entry->name;
            if (*c < '0' || *c > '9')
                continue;
            for (; *c >= '0' && *c <= '9'; ++c)
                fd = fd * 10 + (*c - '0');
            if (fd >= kFirstInheritable && fd != dir)
                ::fcntl(fd, F_SETFD, FD_CLOEXEC);
        }
    }
    ::close(dir);
    return true;
}

// Everything above standard error closes on exec. Only marked, not closed:
// Qt still needs its start-up pipe to report a failed exec.
void markDescriptorsCloseOnExec()
{
#if defined(SYS_close_range) && defined(CLOSE_RANGE_CLOEXEC)
    if (::syscall(SYS_close_range, unsigned(kFirstInheritable), ~0U, CLOSE_RANGE_CLOEXEC) == 0)
        return;
#endif
    if (markListedDescriptors())
        return;
    rlimit limit{};
    rlim_t last = kMaxDescriptorScan;
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < last)
        last = limit.rlim_cur;
    for (rlim_t fd = kFirstInheritable; fd < last; ++fd)
        ::fcntl(int(fd), F_SETFD, FD_CLOEXEC);
}

} // namespace

void prepareChild()
{
    ::setpgid(0, 0);

    // A thread of ours may block signals (to take them synchronously); the
    // program must not start with them blocked or ignored.
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    struct sigaction standard = {};
    standard.sa_handler = SIG_DFL;
    sigemptyset(&standard.sa_mask);
    for (int sig = 1; sig < NSIG; ++sig) {
        if (sig != SIGKILL && sig != SIGSTOP)
            ::sigaction(sig, &standard, nullptr);
    }

    markDescriptorsCloseOnExec();
}

void signalGroup(qint64 group, int sig)
{
    if (group > 0)
        ::kill(-pid_t(group), sig);
}

bool groupAlive(qint64 group)
{
    return group > 0 && ::kill(-pid_t(group), 0) == 0;
}

} // namespace base
} // namespace vorn
