#!/usr/bin/env bash
# The desktop files of packaging/, checked with the freedesktop tools.
#   desktop_files_test.sh entry SOURCE BUILD   desktop entry and thumbnailer entry
#   desktop_files_test.sh mime SOURCE BUILD    the MIME package names our types
# The desktop entry and thumbnailer are the ones configured in BUILD.
# Exit 77 means skipped (a tool is missing; scripts/install-deps.sh installs it).
set -euo pipefail
mode=$1 source=$2 build=$3
pkg="$source/packaging"
made="$build/packaging"
fail() { echo "FAIL: $*" >&2; exit 1; }
need() {
  for tool in "$@"; do
    command -v "$tool" >/dev/null || { echo "skipped: $tool is not installed"; exit 77; }
  done
}
work=$(mktemp -d "${TMPDIR:-/tmp}/tarnelle-desktop-XXXXXX")
trap 'rm -rf "$work"' EXIT

entry() {
  need desktop-file-validate
  desktop-file-validate "$made/tarnelle.desktop" || fail "desktop-file-validate"
  grep -qx 'Exec=tarnelle %f' "$made/tarnelle.desktop" || fail "Exec line"
  grep -qx 'Exec=tarnelle --thumbnail %s %i %o' "$made/tarnelle.thumbnailer" || fail "thumbnailer Exec line"
  # Menu entry and thumbnailer cover the same types.
  local types
  types=$(grep '^MimeType=' "$made/tarnelle.desktop")
  [ "$types" = "$(grep '^MimeType=' "$made/tarnelle.thumbnailer")" ] ||
    fail "MimeType lists of the desktop entry and the thumbnailer differ"
  # A plug-in's type is claimed exactly when the plug-in was built.
  local cases=("off.so model/x-off" "assimp_3mf.so model/3mf" "assimp_gltf.so model/gltf+json"
    "assimp_glb.so model/gltf-binary" "assimp_blend.so application/x-blender"
    "assimp_lws.so image/x-lws" "assimp_dae.so model/vnd.collada+xml")
  for c in "${cases[@]}"; do
    set -- $c
    local built=no claimed=no
    [ -f "$build/app/Plugin/$1" ] && built=yes
    [[ ";${types#MimeType=}" == *";$2;"* ]] && claimed=yes
    [ $built = $claimed ] || fail "$2 claimed: $claimed, but $1 built: $built ($types)"
  done
  echo "desktop entry checked"
}

mime() {
  need xmllint update-mime-database gio
  xmllint --noout "$pkg/tarnelle.xml" || fail "xmllint"
  # A private database of the system types plus ours.
  mkdir -p "$work/data/mime/packages"
  local system=""
  for d in /usr/share /usr/local/share; do
    [ -f "$d/mime/packages/freedesktop.org.xml" ] && system="$d/mime/packages/freedesktop.org.xml" && break
  done
  [ -n "$system" ] || { echo "skipped: freedesktop.org.xml not found (shared-mime-info)"; exit 77; }
  cp "$system" "$pkg/tarnelle.xml" "$work/data/mime/packages/"
  update-mime-database "$work/data/mime" 2>"$work/update.log" || fail "update-mime-database: $(cat "$work/update.log")"
  if grep -qi 'error\|warning' "$work/update.log"; then fail "update-mime-database: $(cat "$work/update.log")"; fi
  # Every type the menu entry claims is one the system database or ours
  # defines (an unknown type would never match a file).
  local t
  for t in $(grep '^MimeType=' "$made/tarnelle.desktop" | sed 's/^MimeType=//; s/;/ /g'); do
    grep -q "^$t\$" "$work/data/mime/types" || fail "the desktop entry claims the unknown type $t"
  done
  printf 'OFF\n3 1 0\n0 0 0\n1 0 0\n0 1 0\n3 0 1 2\n' >"$work/tri.off"
  # Collada: plain XML to an older database, our type by name and by its
  # root element.
  printf '<?xml version="1.0" encoding="utf-8"?>\n<COLLADA xmlns="http://www.collada.org/2005/11/COLLADASchema" version="1.4.1">\n<asset/>\n</COLLADA>\n' >"$work/tri.dae"

  # By name and, copied to a name without extension, by content.
  local cases=(
    "samples/torus.mqo model/x-mqo"
    "samples/torus_text.cob model/x-cob"
    "samples/torus_binary.cob model/x-cob"
    "samples/cube_palette.rok model/x-rok"
    "samples/torus.ply model/x-ply"
    "samples/cube.stl model/stl"
    "$work/tri.off model/x-off"
    "$work/tri.dae model/vnd.collada+xml"
  )
  for c in "${cases[@]}"; do
    set -- $c
    local file=$1
    [ "${file#/}" = "$file" ] && file="$source/$file"
    cp "$file" "$work/by-name.${1##*.}"
    cp "$file" "$work/by-content"
    for f in "$work/by-name.${1##*.}" "$work/by-content"; do
      local got
      got=$(XDG_DATA_DIRS="$work/data" XDG_DATA_HOME="$work/none" \
        gio info -a standard::content-type "$f" | sed -n 's/.*standard::content-type: //p')
      [ "$got" = "$2" ] || fail "$1 ($(basename "$f")): $got, expected $2"
    done
  done
  echo "MIME package checked"
}

case $mode in
  entry) entry ;;
  mime) mime ;;
  *) fail "unknown mode $mode" ;;
esac
