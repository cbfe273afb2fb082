#!/usr/bin/env bash
# mmdebstrap customize hook of the field lab's guest: $1 is the new root file system.
set -euo pipefail
root=$1

echo vorn-field >"$root/etc/hostname"
echo "LABEL=root / ext4 rw,errors=remount-ro 0 1" >"$root/etc/fstab"

# Two local desktop users and one whose uid is that of a domain account; the passwords are the
# lab's, for PAM checks only.
for user in alice:1000 bob:1001 dave:10001; do
  name=${user%%:*}
  chroot "$root" useradd --create-home --uid "${user#*:}" --shell /bin/bash "$name"
  echo "$name:field-$name" | chroot "$root" chpasswd
done

# Nothing that would wake up on its own and compete with the scenarios.
for unit in apt-daily.timer apt-daily-upgrade.timer e2scrub_all.timer fstrim.timer \
            systemd-networkd-wait-online.service man-db.timer; do
  ln -sf /dev/null "$root/etc/systemd/system/$unit"
done

# The journal survives a reboot, so a failure after one can show both boots.
mkdir -p "$root/var/log/journal"
