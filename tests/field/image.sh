#!/usr/bin/env bash
# The field lab's guest disk: a Debian 12 root file system (minbase, the package's Depends,
# tests/field/guest-packages.list), as a raw ext4 image with the kernel and initrd beside it.
#   tests/field/image.sh PACKAGE.deb     prints the directory holding root.img, vmlinuz, initrd.img
# Cached under $VORN_FIELD_CACHE (default /var/cache/vorn-field), keyed by a hash of the package
# list, the hooks in guest/ and the layout version below; only the current key is kept. The
# mirror comes from the host's apt sources, read at run time.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
deb=$1
cache=${VORN_FIELD_CACHE:-/var/cache/vorn-field}
# Raise when the image's layout changes (file names, file system, size).
layout=1
fail() { echo "field image: $*" >&2; exit 1; }

[ -f "$deb" ] || fail "no package at $deb"
command -v mmdebstrap >/dev/null || fail "mmdebstrap is missing"
command -v mkfs.ext4 >/dev/null || fail "mkfs.ext4 (e2fsprogs) is missing"

# The package's Depends, first of each alternative, without versions.
deps=$(dpkg-deb -f "$deb" Depends | tr ',' '\n' | sed 's/|.*//; s/(.*)//; s/:any//; s/[[:space:]]//g')
list=$( (grep -v '^#' "$here/guest-packages.list"; echo "$deps") | grep -v '^$' | sort -u)
key=$( (echo "layout $layout"; echo "$list"; cat "$here/guest/essential.sh" "$here/guest/customize.sh") | sha256sum | cut -c1-16)
dir=$cache/$key
if [ -f "$dir/ready" ]; then
  echo "$dir"
  exit 0
fi

sources=()
for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources; do
  [ -f "$f" ] && grep -q '^[^#]*bookworm' "$f" && sources+=("$f")
done
[ ${#sources[@]} -gt 0 ] || fail "no Debian 12 (bookworm) mirror in the host's apt sources"

mkdir -p "$cache"
work=$(mktemp -d "$cache/.build-$key.XXXXXX")
# mmdebstrap unmounts what it mounted in the new root; should one be left after a kill, it is
# unmounted here, and rm never crosses into another file system.
cleanup() {
  findmnt -rn -o TARGET | grep "^$work/" | sort -r | xargs -r -n1 umount -l || true
  rm -rf --one-file-system "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

echo "field image: building $key (cold, a few minutes)" >&2
timeout 2400 mmdebstrap --quiet --variant=minbase --include="$(echo "$list" | paste -sd,)" \
  --aptopt='Acquire::Check-Valid-Until "false"' --aptopt='Acquire::Check-Date "false"' \
  --essential-hook="$here/guest/essential.sh \"\$1\"" \
  --customize-hook="$here/guest/customize.sh \"\$1\"" \
  bookworm "$work/root" "${sources[@]}" >&2 || fail "mmdebstrap failed"

cp "$(ls "$work"/root/boot/vmlinuz-* | tail -1)" "$work/vmlinuz"
cp "$(ls "$work"/root/boot/initrd.img-* | tail -1)" "$work/initrd.img"
timeout 600 mkfs.ext4 -q -L root -d "$work/root" "$work/root.img" 6G >&2 || fail "mkfs.ext4 failed"
rm -rf "$work/root"
touch "$work/ready"
# Only the current image stays: an older key is an older package list.
find "$cache" -mindepth 1 -maxdepth 1 -type d ! -name "$key" ! -name ".build-$key.*" \
  -exec rm -rf --one-file-system {} +
mv "$work" "$dir"
trap - EXIT
echo "$dir"
