#!/bin/bash
# The platform's upgrade script as the field lab stands it in: each named package is fetched
# from the management server (/packages/<name>.deb, with the machine's own identity) and all
# are installed in one apt run. Prints "success" once they are; what apt and dpkg print goes
# to the error output.
set -euo pipefail
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
# apt reads local packages as its own unprivileged user.
chmod 755 "$dir"
debs=()
for name in "$@"; do
  /usr/bin/python3 /opt/vorn-lab/labctl.py fetch "/packages/$name.deb" "$dir/$name.deb" >&2
  debs+=("$dir/$name.deb")
done
DEBIAN_FRONTEND=noninteractive apt-get install -y -q "${debs[@]}" >&2
echo success
