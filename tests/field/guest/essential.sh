#!/usr/bin/env bash
# mmdebstrap essential hook of the field lab's guest ($1: the new root file system), before the
# kernel is installed: a small initrd with only what finds the root disk (faster to build and
# to boot than one with most modules).
set -euo pipefail
root=$1
mkdir -p "$root/etc/initramfs-tools/conf.d" "$root/usr/share/initramfs-tools/modules.d"
echo MODULES=list >"$root/etc/initramfs-tools/conf.d/vorn-field.conf"
printf '%s\n' virtio_pci virtio_blk ext4 >"$root/usr/share/initramfs-tools/modules.d/vorn-field"
