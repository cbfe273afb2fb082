#!/usr/bin/env bash
# One column of releases.txt for one release:
#   tools/release/release.sh RELEASE number|suffix|archive|boot|tcg
#   tools/release/release.sh --list        every release's codename
#   tools/release/release.sh --host        the host's own codename
set -euo pipefail
table=$(dirname "${BASH_SOURCE[0]}")/releases.txt
case "$1" in
  --list) awk '!/^#/ && NF {print $1}' "$table"; exit 0 ;;
  --host) . /etc/os-release; echo "${VERSION_CODENAME:?no VERSION_CODENAME in /etc/os-release}"; exit 0 ;;
esac
column=$(case "${2:-}" in number) echo 2 ;; suffix) echo 3 ;; archive) echo 4 ;; boot) echo 5 ;; tcg) echo 6 ;; esac)
[ -n "$column" ] || { echo "release.sh: unknown column '${2:-}'" >&2; exit 2; }
value=$(awk -v r="$1" -v c="$column" '!/^#/ && $1 == r {print $c}' "$table")
[ -n "$value" ] || {
  echo "release.sh: unknown release '$1' (known: $(awk '!/^#/ && NF {print $1}' "$table" | paste -sd' '))" >&2
  exit 2
}
echo "$value"
