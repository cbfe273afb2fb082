#!/usr/bin/env bash
# A Debian release's build root, and a command run inside it:
#   tools/release/root.sh RELEASE DIR PACKAGE... -- COMMAND [ARG...]
# runs COMMAND as root in /src of RELEASE's root file system (mmdebstrap's buildd variant with
# the PACKAGEs), DIR bound at /src. The root is cached under $VORN_BUILD_CACHE (default
# /var/cache/vorn-build), keyed by the release and the package list; an older key of the same
# release is removed when a new one is built, others stay. Each run sees the cached root
# through an overlay that is thrown away afterwards, in its own mount, PID and network
# namespaces (loopback only): its mounts and processes end with it, whatever way it ends.
# CI and DEB_BUILD_OPTIONS are passed on; nothing else of the caller's environment is.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
fail() { echo "build root: $*" >&2; exit 1; }
[ $# -ge 3 ] || fail "usage: root.sh RELEASE DIR PACKAGE... -- COMMAND [ARG...]"
release=$1 bind=$(cd "$2" && pwd)
shift 2
packages=()
while [ $# -gt 0 ] && [ "$1" != -- ]; do packages+=("$1"); shift; done
[ $# -ge 2 ] || fail "no command after --"
shift
archive=$("$here/release.sh" "$release" archive)
cache=${VORN_BUILD_CACHE:-/var/cache/vorn-build}
# Raise when the root's layout changes (hooks, variant).
layout=1
[ "$(id -u)" -eq 0 ] || fail "needs root (mmdebstrap, mounts, chroot)"
command -v mmdebstrap >/dev/null || fail "mmdebstrap is missing"

list=$(printf '%s\n' "${packages[@]}" | sort -u)
key=$( (echo "layout $layout"; echo "$release $archive"; echo "$list") | sha256sum | cut -c1-16)
dir=$cache/$release-$key
mkdir -p "$cache"

make_root() {
  local work
  work=$(mktemp -d "$cache/.build-$release-$key.XXXXXX")
  # mmdebstrap unmounts what it mounted in the new root; should one be left after a kill, it
  # is unmounted here, and rm never crosses into another file system.
  # shellcheck disable=SC2064
  trap "findmnt -rn -o TARGET | grep '^$work/' | sort -r | xargs -r -n1 umount -l || true
        rm -rf --one-file-system '$work'" EXIT
  echo "build root: building $release $key (cold, a few minutes)" >&2
  # The archive's URI, not the host's sources: those name the host's own suites.
  timeout 2400 mmdebstrap --quiet --variant=buildd --include="$(echo "$list" | paste -sd,)" \
    --aptopt='Acquire::Check-Valid-Until "false"' --aptopt='Acquire::Check-Date "false"' \
    --customize-hook='printf "127.0.0.1 localhost\n::1 localhost ip6-localhost ip6-loopback\n" >"$1/etc/hosts"' \
    --customize-hook='rm -f "$1"/var/cache/apt/archives/*.deb' \
    "$release" "$work/root" "deb $archive $release main" >&2 || fail "mmdebstrap failed"
  touch "$work/ready"
  find "$cache" -mindepth 1 -maxdepth 1 -type d -name "$release-*" ! -name "$release-$key" \
    -exec rm -rf --one-file-system {} +
  mv "$work" "$dir"
  trap - EXIT
}

# One builder per release at a time; a second caller waits and then finds the root ready.
(
  flock 9
  [ -f "$dir/ready" ] || make_root
) 9>"$cache/.lock-$release"
[ -f "$dir/ready" ] || fail "no root at $dir"

run=$(mktemp -d /var/tmp/vorn-root.XXXXXX)
# The mounts live in the namespace below and are gone with it; rm never crosses into another
# file system should one still be there.
trap 'rm -rf --one-file-system "$run"' EXIT
trap 'exit 130' INT TERM
mkdir "$run/upper" "$run/work" "$run/root"

status=0
unshare --mount --propagation private --pid --fork --net -- /bin/bash -euc '
  lower=$1 run=$2 bind=$3; shift 3
  r=$run/root
  mount -t overlay overlay -o "lowerdir=$lower,upperdir=$run/upper,workdir=$run/work" "$r"
  mount -t proc proc "$r/proc"
  mount --rbind /sys "$r/sys"
  mount --rbind /dev "$r/dev"
  mount -t tmpfs -o mode=1777 tmpfs "$r/tmp"
  mount -t tmpfs -o mode=755 tmpfs "$r/run"
  mkdir -p "$r/src"
  mount --bind "$bind" "$r/src"
  ip link set lo up
  env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 TERM="${TERM:-dumb}" \
    ${CI:+CI="$CI"} ${DEB_BUILD_OPTIONS:+DEB_BUILD_OPTIONS="$DEB_BUILD_OPTIONS"} \
    chroot "$r" /bin/sh -c "cd /src && exec \"\$@\"" sh "$@"
' root "$dir/root" "$run" "$bind" "$@" || status=$?
exit $status
