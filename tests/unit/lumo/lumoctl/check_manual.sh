#!/bin/bash
# lumoctl's manual page as the package carries it: lintian finds nothing to say
# about it, and it describes every command that "lumoctl --help" lists.
#   check_manual.sh <dist/lumoctl.8> <lumoctl binary>
set -euo pipefail
manual=$1
binary=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# A package holding only the command's name and its manual: whatever lintian
# reports about the manual page itself is a fault of the page.
pkg=$work/pkg
mkdir -p "$pkg/DEBIAN" "$pkg/usr/bin" "$pkg/usr/share/man/man8"
printf '#!/bin/sh\n' > "$pkg/usr/bin/lumoctl"
chmod 755 "$pkg/usr/bin/lumoctl"
gzip -9n < "$manual" > "$pkg/usr/share/man/man8/lumoctl.8.gz"
cat > "$pkg/DEBIAN/control" <<CONTROL
Package: lumoctl-manual-check
Version: 1.0
Architecture: all
Maintainer: Vorn maintainers <maintainers@example.org>
Description: lumoctl manual page check
 Only the administrator's command and its manual page.
CONTROL
dpkg-deb --root-owner-group -b "$pkg" "$work/check.deb" >/dev/null
status=0
findings=$(lintian --tag-display-limit 0 -I -E --pedantic "$work/check.deb" 2>&1 \
  | grep -F 'usr/share/man/man8/lumoctl.8' || true)
if [ -n "$findings" ]; then
  echo "lintian on the manual page:"
  echo "$findings"
  status=1
fi

commands=$("$binary" --help | sed -n '/^Commands:/,/^$/p' | awk '/^  [a-z]/ {print $1}')
[ -n "$commands" ] || { echo "no commands in lumoctl --help"; exit 1; }
# The heading lines of the manual's lists (each one after ".TP").
headings=$(awk 'previous == ".TP" {print} {previous = $0}' "$manual")
for command in $commands; do
  if ! grep -Eq "^(\.B |\\\\fB)$command(\\\\fR| |$)" <<<"$headings"; then
    echo "the manual does not describe the command $command"
    status=1
  fi
done
exit $status
