#include "accountinfo.h"

#include <QtDebug>

#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

namespace vorn {
namespace base {

namespace {
constexpr size_t kMaxBufferSize = 1 << 20;
} // namespace

AccountInfo::AccountInfo(uint uid)
{
    init(uid);
}

void AccountInfo::init(uint uid)
{
    m_uid = 0;
    m_gid = 0;
    m_name.clear();
    m_home.clear();

    long size = sysconf(_SC_GETPW_R_SIZE_MAX);
    if (size <= 0)
        size = 16384;
    std::vector<char> buffer(static_cast<size_t>(size));

    passwd entry{};
    passwd* found = nullptr;
    int error = 0;
    for (;;) {
        error = getpwuid_r(static_cast<uid_t>(uid), &entry, buffer.data(), buffer.size(), &found);
        // Entries with very long fields need a larger buffer than reported.
        if (error != ERANGE || buffer.size() >= kMaxBufferSize)
            break;
        buffer.resize(buffer.size() * 2);
    }
    if (found) {
        doInit(entry);
        return;
    }
    // getpwuid_r reports "no such entry" as 0 or as one of these codes.
    if (error != 0 && error != ENOENT && error != ESRCH && error != EBADF && error != EPERM)
        qWarning() << "error occurred when get passwd for uid" << uid;
    else
        qWarning() << "not found uid" << uid;
}

void AccountInfo::doInit(const passwd& entry)
{
    m_uid = entry.pw_uid;
    m_gid = entry.pw_gid;
    m_name = QString::fromUtf8(entry.pw_name);
    m_home = QString::fromUtf8(entry.pw_dir);
}

} // namespace base
} // namespace vorn
