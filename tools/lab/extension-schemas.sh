#!/usr/bin/env bash
# The GSettings schemas of the dock and desktop-icons extensions, for the lab and the tests:
# their Debian packages fetched with apt-get download (they depend on the whole shell, so
# they are not installed), only the schema files taken out and compiled into OUT.
#   tools/lab/extension-schemas.sh OUT [RELEASE]
# Without RELEASE, the host's own release's packages; with it (a codename of
# tools/release/releases.txt), that release's, from its archive through an apt state of their
# own: the host's sources name the host's suites, and a build root has no network.
# Tests point GSETTINGS_SCHEMA_DIR at OUT to have the extensions "installed".
set -euo pipefail

out=${1:?usage: extension-schemas.sh OUT [RELEASE]}
release=${2:-}
packages=(gnome-shell-extension-dashtodock gnome-shell-extension-desktop-icons-ng)
schemas=(org.gnome.shell.extensions.dash-to-dock.gschema.xml org.gnome.shell.extensions.ding.gschema.xml)

have_all() {
  [ -f "$out/gschemas.compiled" ] || return 1
  for s in "${schemas[@]}"; do [ -f "$out/$s" ] || return 1; done
}
have_all && exit 0

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# apt's download user must be able to write there.
chmod 0777 "$work"
apt=()
if [ -n "$release" ]; then
  archive=$("$(dirname "${BASH_SOURCE[0]}")/../release/release.sh" "$release" archive)
  mkdir -p "$work/apt/lists/partial" "$work/apt/cache/archives/partial"
  echo "deb $archive $release main" >"$work/apt/sources.list"
  chmod -R 0777 "$work/apt"
  apt=(-o "Dir::Etc::SourceList=$work/apt/sources.list" -o Dir::Etc::SourceParts=/nonexistent
       -o "Dir::State::Lists=$work/apt/lists" -o "Dir::Cache=$work/apt/cache"
       -o Acquire::Languages=none)
  apt-get "${apt[@]}" update -qq >/dev/null
fi
(cd "$work" && apt-get "${apt[@]}" download -q "${packages[@]}" >/dev/null)
mkdir -p "$work/tree" "$out"
for deb in "$work"/*.deb; do dpkg-deb -x "$deb" "$work/tree"; done
for s in "${schemas[@]}"; do
  install -m 0644 "$work/tree/usr/share/glib-2.0/schemas/$s" "$out/$s"
done
glib-compile-schemas --strict "$out"
echo "extension schemas: $out"
