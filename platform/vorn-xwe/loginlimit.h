#pragma once

#include <QByteArray>

namespace xwe {
namespace loginlimit {

// The pam-auth-update profile that refuses local accounts.
extern const char* const kProfileName;
QByteArray profileText();

// allowed false: local accounts (uid 1000 to 9999 in /etc/passwd) cannot open a login
// session through any PAM service; root and directory accounts still can. true: undone.
int apply(bool allowed);

} // namespace loginlimit
} // namespace xwe
