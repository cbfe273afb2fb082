#!/usr/bin/env bash
# The GSettings schemas of the dock and desktop-icons extensions, for the lab and the tests:
# their Debian packages fetched with apt-get download (they depend on the whole shell, so
# they are not installed), only the schema files taken out and compiled into OUT.
#   tools/lab/extension-schemas.sh OUT
# Tests point GSETTINGS_SCHEMA_DIR at OUT to have the extensions "installed".
set -euo pipefail

out=${1:?usage: extension-schemas.sh OUT}
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
(cd "$work" && apt-get download -q "${packages[@]}" >/dev/null)
mkdir -p "$work/tree" "$out"
for deb in "$work"/*.deb; do dpkg-deb -x "$deb" "$work/tree"; done
for s in "${schemas[@]}"; do
  install -m 0644 "$work/tree/usr/share/glib-2.0/schemas/$s" "$out/$s"
done
glib-compile-schemas --strict "$out"
echo "extension schemas: $out"
