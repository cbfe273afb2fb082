#!/usr/bin/env bash
# The Debian package on this machine: installed with apt (dependencies resolved), its units
# verified, the installed qarg run against the lab, the machine locked down by it, then removed
# (the machine given back) and purged with nothing of it left; installed once more, it starts
# clean.
#   tests/install/check_install.sh [PACKAGE.deb]    (default: build-deb/vorn-policy_*.deb)
# There is no service manager running here: the maintainer scripts must cope with that.
set -euo pipefail

top=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
pkg=vorn-policy
deb=${1:-$(ls "$top"/build-deb/${pkg}_*_"$(dpkg --print-architecture)".deb)}
work=$(mktemp -d)
# A package whose program the lockdown blacklists (./run installs it for the tests).
blocked_pkg=pamtester
blocked=/usr/bin/pamtester

# Whatever a failed run leaves locked on this machine is undone here, by hand.
unlock() {
  if [ -e /usr/share/pam-configs/vorn-xwe-login-limit ]; then
    pam-auth-update --package --remove vorn-xwe-login-limit || true
    rm -f /usr/share/pam-configs/vorn-xwe-login-limit
  fi
  if dpkg-statoverride --list "$blocked" >/dev/null 2>&1; then
    dpkg-statoverride --remove "$blocked" || true
    chmod 0755 "$blocked" || true
  fi
  rm -f /etc/udev/rules.d/70-vorn-xwe-usb-storage.rules /etc/udev/rules.d/70-vorn-xwe-optical.rules \
        /etc/systemd/timesyncd.conf.d/90-vorn-xwe.conf
  rmdir /etc/vorn 2>/dev/null || true
}
trap 'unlock; rm -rf "$work"' EXIT
export DEBIAN_FRONTEND=noninteractive

passed=0
failed=0
check() {
  local what=$1; shift
  if "$@" >"$work/out" 2>&1; then
    echo "ok     $what"
    passed=$((passed + 1))
  else
    echo "FAILED $what"
    sed 's/^/       /' "$work/out"
    failed=$((failed + 1))
  fi
}

mode_is() { [ "$(stat -c '%a %U %G' "$2")" = "$1" ] || { stat -c '%a %U %G %n' "$2"; false; }; }
is_link() { [ -L "$1" ] || { echo "$1 missing"; false; }; }

verify_units() {
  # The manual pages named in Documentation= are checked where man is there to look.
  local man=--man=no
  command -v man >/dev/null && man=--man=yes
  local out
  out=$(systemd-analyze verify "$man" /lib/systemd/system/qarg.service 2>&1) || { echo "$out"; return 1; }
  mkdir -p -m 0700 "$work/runtime"
  out+=$(XDG_RUNTIME_DIR="$work/runtime" systemd-analyze verify --user "$man" \
           /usr/lib/systemd/user/lumo-session.service 2>&1) || { echo "$out"; return 1; }
  # A setting systemd cannot parse is only warned about: any output fails.
  [ -z "$out" ] || { echo "$out"; false; }
}

no_unit_enabled() {
  ! find /etc/systemd -name 'qarg.service' -o -name 'lumo-session.service' | grep .
}

# What the lockdown wrote is gone again, as the system's own tools see it.
machine_restored() {
  local left=0 path
  for path in /usr/share/pam-configs/vorn-xwe-login-limit \
              /etc/udev/rules.d/70-vorn-xwe-usb-storage.rules \
              /etc/udev/rules.d/70-vorn-xwe-optical.rules \
              /etc/systemd/timesyncd.conf.d/90-vorn-xwe.conf \
              /etc/default/grub.d/90-vorn-xwe-background.cfg; do
    if [ -e "$path" ]; then echo "left: $path"; left=1; fi
  done
  if grep -n pam_localuser /etc/pam.d/common-account; then
    echo "PAM still refuses local accounts"; left=1
  fi
  if dpkg-statoverride --list "$blocked"; then echo "statoverride left"; left=1; fi
  mode_is "755 root root" "$blocked" || left=1
  [ "$left" -eq 0 ]
}

# A new installation has no state of an earlier one.
starts_clean() {
  local left=0 path
  for path in /var/lib/qarg/applied.json /var/lib/qarg/software_list.list /var/lib/vorn-xwe \
              /etc/vorn/system_policy.json /root/.cache/vorn; do
    if [ -e "$path" ]; then echo "left: $path"; left=1; fi
  done
  [ -z "$(ls -A /var/lib/qarg)" ] || { ls -A /var/lib/qarg; left=1; }
  [ "$left" -eq 0 ]
}

nothing_left() {
  local left=0 path
  while read -r path; do
    # Shared directories (/usr/bin, ...) stay; what the package alone brought goes.
    if [ -e "$path" ] || [ -L "$path" ]; then
      if [ ! -d "$path" ] || [[ "$path" == *"$pkg"* ]]; then
        echo "left: $path"; left=1
      fi
    fi
  done <"$work/files"
  for path in /var/log/qarg /var/lib/qarg /var/lib/vorn-xwe /root/.cache/vorn \
              /etc/vorn/system_policy.json \
              /etc/systemd/system/multi-user.target.wants/qarg.service \
              /etc/systemd/user/graphical-session.target.wants/lumo-session.service; do
    if [ -e "$path" ] || [ -L "$path" ]; then echo "left: $path"; left=1; fi
  done
  # Enablement state kept by the systemd helpers.
  if find /var/lib/systemd /etc/systemd -name 'qarg.service*' -o -name 'lumo-session.service*' \
       2>/dev/null | grep .; then left=1; fi
  if dpkg-query -W -f='${db:Status-Abbrev}' "$pkg" 2>/dev/null | grep -q '^.[^n]'; then
    echo "dpkg still knows $pkg"; left=1
  fi
  [ "$left" -eq 0 ]
}

# A package left by an earlier run would hide what this one does.
if dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'ok installed'; then
  apt-get purge -y -qq "$pkg" >/dev/null
fi

check "installed with apt ($deb)" apt-get install -y -qq "$deb"
dpkg -L "$pkg" >"$work/files"
check "qarg enabled" is_link /etc/systemd/system/multi-user.target.wants/qarg.service
check "session agent enabled for every user" \
  is_link /etc/systemd/user/graphical-session.target.wants/lumo-session.service
check "log directory 0750 root:adm" mode_is "750 root adm" /var/log/qarg
check "state directory 0700 root:root" mode_is "700 root root" /var/lib/qarg
check "installed units verify" verify_units
check "installed qarg, one pushed round trip" /usr/bin/python3 "$top/tests/install/roundtrip.py"
locked=0
if /usr/bin/python3 "$top/tests/install/lockdown.py" "$blocked_pkg" >"$work/lockdown" 2>&1; then
  locked=1
  echo "ok     machine locked down by the installed qarg"
  passed=$((passed + 1))
elif [ $? -eq 2 ]; then
  echo "skip   machine locked down by the installed qarg: $(tail -n 1 "$work/lockdown")"
else
  echo "FAILED machine locked down by the installed qarg"
  sed 's/^/       /' "$work/lockdown"
  failed=$((failed + 1))
fi
check "removed with apt" apt-get remove -y -qq "$pkg"
[ "$locked" -eq 0 ] || check "removal gives the machine back (PAM, statoverride, udev, drop-ins)" \
  machine_restored
check "removal disables both units" no_unit_enabled
check "log kept until purge" test -d /var/log/qarg
check "purged with apt" apt-get purge -y -qq "$pkg"
check "nothing of the package left" nothing_left
check "installed again after the purge" apt-get install -y -qq "$deb"
check "the new installation starts clean" starts_clean
check "purged again" apt-get purge -y -qq "$pkg"
check "nothing of the package left again" nothing_left

echo "install: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
