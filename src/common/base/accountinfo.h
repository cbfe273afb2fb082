#pragma once

#include <QString>

struct passwd;

namespace vorn {
namespace base {

// One user account from the user database.
class AccountInfo
{
public:
    explicit AccountInfo(uint uid);

    void init(uint uid);
    void doInit(const passwd& entry);

    static bool isLdap(uint uid) { return uid > 9999; }
    static QString realName(const QString& name) { return name; }

    uint uid() const { return m_uid; }
    uint gid() const { return m_gid; }
    QString name() const { return m_name; }
    QString home() const { return m_home; }

private:
    uint m_uid = 0;
    uint m_gid = 0;
    QString m_name;
    QString m_home;
};

} // namespace base
} // namespace vorn
