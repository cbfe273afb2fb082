#!/usr/bin/env bash
# The field lab's guest disk: a Debian root file system (minbase, the package's Depends,
# tests/field/guest-packages.list), as a raw ext4 image with the kernel and initrd beside it.
#   tests/field/image.sh PACKAGE.deb [RELEASE [VARIANT]]
# prints the directory holding root.img, vmlinuz, initrd.img; RELEASE is a codename of
# tools/release/releases.txt (default, or empty: the host's own). A variant (gnome) adds the
# packages of VARIANT-packages.list and the hook guest/customize-VARIANT.sh.
# Cached under $VORN_FIELD_CACHE (default /var/cache/vorn-field), keyed by a hash of the
# release, the package list, the hooks in guest/ and the layout version below. A new key
# replaces only an older image of the same release and package list file; the images of other
# releases and variants stay. The host's own release comes from the mirror of the host's apt
# sources, read at run time; another from the archive named in releases.txt.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
releases=$here/../../tools/release/release.sh
deb=$1
release=${2:-$("$releases" --host)}
variant=${3:-}
packages_file=$here/guest-packages.list
cache=${VORN_FIELD_CACHE:-/var/cache/vorn-field}
# Raise when the image's layout changes (file names, file system, size).
layout=1
fail() { echo "field image: $*" >&2; exit 1; }

[ -f "$deb" ] || fail "no package at $deb"
lists=("$packages_file")
hooks=("$here/guest/customize.sh")
prefix=""
if [ -n "$variant" ]; then
  [[ $variant =~ ^[a-z0-9]+$ ]] || fail "bad variant name $variant"
  [ -f "$here/$variant-packages.list" ] || fail "no package list for the variant $variant"
  packages_file=$here/$variant-packages.list
  lists+=("$packages_file")
  [ -f "$here/guest/customize-$variant.sh" ] && hooks+=("$here/guest/customize-$variant.sh")
  prefix=$variant-
fi
command -v mmdebstrap >/dev/null || fail "mmdebstrap is missing"
command -v mkfs.ext4 >/dev/null || fail "mkfs.ext4 (e2fsprogs) is missing"

# The package's Depends, first of each alternative, without versions.
deps=$(dpkg-deb -f "$deb" Depends | tr ',' '\n' | sed 's/|.*//; s/(.*)//; s/:any//; s/[[:space:]]//g')
list=$( (cat "${lists[@]}" | grep -v '^#'; echo "$deps") | grep -v '^$' | sort -u)
key=$prefix$( (echo "layout $layout"; echo "release $release"; echo "$list"; cat "$here/guest/essential.sh" "${hooks[@]}") | sha256sum | cut -c1-16)
dir=$cache/$key
# What this image is an image of: only an older image of the same kind is ever removed.
kind="$release $(basename "$packages_file")"
if [ -f "$dir/ready" ]; then
  echo "$dir"
  exit 0
fi

sources=()
if [ "$release" = "$("$releases" --host)" ]; then
  for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources; do
    [ -f "$f" ] && grep -q "^[^#]*$release" "$f" && sources+=("$f")
  done
  [ ${#sources[@]} -gt 0 ] || fail "no $release mirror in the host's apt sources"
else
  # The archive's URI, not the host's sources: a .sources file names its own suites, and those
  # win over the suite argument.
  sources=("deb $("$releases" "$release" archive) $release main")
fi

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

hook_args=()
for hook in "${hooks[@]}"; do hook_args+=(--customize-hook="$hook \"\$1\""); done
echo "field image: building $key (cold, a few minutes)" >&2
timeout 2400 mmdebstrap --quiet --variant=minbase --include="$(echo "$list" | paste -sd,)" \
  --aptopt='Acquire::Check-Valid-Until "false"' --aptopt='Acquire::Check-Date "false"' \
  --essential-hook="$here/guest/essential.sh \"\$1\"" \
  "${hook_args[@]}" \
  "$release" "$work/root" "${sources[@]}" >&2 || fail "mmdebstrap failed"

cp "$(ls "$work"/root/boot/vmlinuz-* | tail -1)" "$work/vmlinuz"
cp "$(ls "$work"/root/boot/initrd.img-* | tail -1)" "$work/initrd.img"
timeout 600 mkfs.ext4 -q -L root -d "$work/root" "$work/root.img" 6G >&2 || fail "mkfs.ext4 failed"
rm -rf "$work/root"
echo "$kind" >"$work/kind"
touch "$work/ready"
# An older image of the same kind is an older package list: it goes. Others stay.
for old in "$cache"/*/; do
  old=${old%/}
  [ "$(basename "$old")" != "$key" ] && [ "$(cat "$old/kind" 2>/dev/null)" = "$kind" ] \
    && rm -rf --one-file-system "$old"
done
mv "$work" "$dir"
trap - EXIT
echo "$dir"
