#!/usr/bin/env bash
# mmdebstrap customize hook of the field lab's GNOME guest, after customize.sh: $1 is the new
# root file system. GDM logs alice in on its own, on Wayland. The guest boots to multi-user: the
# lab and the package go in first, then the scenario starts graphical.target, so the session
# (and with it the session agent) comes up the way it does on a desktop with the package
# installed.
set -euo pipefail
root=$1

mkdir -p "$root/etc/gdm3"
cat >"$root/etc/gdm3/daemon.conf" <<'CONF'
[daemon]
AutomaticLoginEnable=true
AutomaticLogin=alice
WaylandEnable=true
CONF
ln -sf /lib/systemd/system/gdm3.service "$root/etc/systemd/system/display-manager.service"
ln -sf /lib/systemd/system/multi-user.target "$root/etc/systemd/system/default.target"
# No first-login assistant or keyring prompt in front of the desktop.
mkdir -p "$root/home/alice/.config"
echo yes >"$root/home/alice/.config/gnome-initial-setup-done"
chroot "$root" chown -R alice:alice /home/alice/.config
