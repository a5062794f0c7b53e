#!/usr/bin/env bash
# The desktop files of packaging/, checked with the freedesktop tools.
#   desktop_files_test.sh entry SOURCE   desktop entry and thumbnailer entry
#   desktop_files_test.sh mime SOURCE    the MIME package names our types
# Exit 77 means skipped (a tool is missing; scripts/install-deps.sh installs it).
set -euo pipefail
mode=$1 source=$2
pkg="$source/packaging"
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
  desktop-file-validate "$pkg/tarnelle.desktop" || fail "desktop-file-validate"
  grep -qx 'Exec=tarnelle %f' "$pkg/tarnelle.desktop" || fail "Exec line"
  grep -qx 'Exec=tarnelle --thumbnail %s %i %o' "$pkg/tarnelle.thumbnailer" || fail "thumbnailer Exec line"
  # Menu entry and thumbnailer cover the same types.
  [ "$(grep '^MimeType=' "$pkg/tarnelle.desktop")" = "$(grep '^MimeType=' "$pkg/tarnelle.thumbnailer")" ] ||
    fail "MimeType lists of the desktop entry and the thumbnailer differ"
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

  # By name and, copied to a name without extension, by content.
  local cases=(
    "samples/torus.mqo model/x-mqo"
    "samples/torus_text.cob model/x-cob"
    "samples/torus_binary.cob model/x-cob"
    "samples/cube_palette.rok model/x-rok"
    "samples/torus.ply model/x-ply"
    "samples/cube.stl model/stl"
  )
  for c in "${cases[@]}"; do
    set -- $c
    cp "$source/$1" "$work/by-name.${1##*.}"
    cp "$source/$1" "$work/by-content"
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
