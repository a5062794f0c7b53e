#!/usr/bin/env bash
# The installed program, as `cmake --install` lays it out.
#   install_test.sh tree BUILD SOURCE PREFIX      install, then run what was installed
#   install_test.sh readonly BUILD SOURCE PREFIX  settings of a read-only installed copy
#   install_test.sh deb BUILD SOURCE -             the Debian package, unpacked and run
# Exit 77 means skipped (the reason is printed).
set -euo pipefail
mode=$1 build=$2 source=$3 prefix=$4
work=$(mktemp -d "${TMPDIR:-/tmp}/tarnelle-install-XXXXXX")
# cmake --install and cpack rewrite the build's install manifest, which a
# user may still need to uninstall a real installation: keep it as it was.
manifest="$build/install_manifest.txt"
[ -f "$manifest" ] && cp -p "$manifest" "$work/manifest.saved"
restore_manifest() {
  if [ -f "$work/manifest.saved" ]; then cp -p "$work/manifest.saved" "$manifest"; else rm -f "$manifest"; fi
}
trap 'restore_manifest; chmod -R u+w "$work" 2>/dev/null; rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
expect_file() { [ -f "$prefix/$1" ] || fail "not installed: $1"; }

tree() {
  rm -rf "$prefix"
  cmake --install "$build" --prefix "$prefix" >/dev/null

  expect_file lib/tarnelle/tarnelle
  [ -x "$prefix/lib/tarnelle/tarnelle" ] || fail "the executable is not executable"
  [ -x "$prefix/lib/tarnelle/tarnelle-loader" ] || fail "no plug-in loader beside the executable"
  [ -L "$prefix/bin/tarnelle" ] || fail "bin/tarnelle is not a symbolic link"
  [ "$(readlink -f "$prefix/bin/tarnelle")" = "$(readlink -f "$prefix/lib/tarnelle/tarnelle")" ] ||
    fail "bin/tarnelle does not lead to lib/tarnelle/tarnelle"
  grep -qx "$prefix/bin/tarnelle" "$manifest" || fail "the link is missing from the install manifest"
  expect_file lib/tarnelle/Plugin/off.so
  expect_file lib/tarnelle/tarnelle.html
  expect_file include/tarnelle/tarnelle_plugin.h
  expect_file lib/cmake/Tarnelle/TarnelleConfig.cmake
  expect_file lib/cmake/Tarnelle/TarnelleConfigVersion.cmake
  expect_file share/applications/tarnelle.desktop
  expect_file share/mime/packages/tarnelle.xml
  expect_file share/thumbnailers/tarnelle.thumbnailer
  expect_file share/doc/tarnelle/copyright
  expect_file share/icons/hicolor/scalable/apps/tarnelle.svg
  for size in 16 22 24 32 48 64 128 256; do
    expect_file "share/icons/hicolor/${size}x${size}/apps/tarnelle.png"
  done
  # Archiver modules built beside the executable are installed beside it.
  for module in "$build"/app/*.so; do
    [ -e "$module" ] || continue
    expect_file "lib/tarnelle/$(basename "$module")"
  done
  # Nothing of the build folder leaks into the installed tree.
  if grep -rl --binary-files=text "$build" "$prefix" >/dev/null 2>&1; then
    fail "installed files name the build folder: $(grep -rl --binary-files=text "$build" "$prefix")"
  fi

  # Started through the link, the program finds its plug-ins beside its
  # real path.
  local exe="$prefix/bin/tarnelle"
  "$exe" --info "$source/samples/torus.mqo" >"$work/mqo.log" || fail "--info on an MQO sample"
  grep -q "Metasequoia: " "$work/mqo.log" || fail "--info on an MQO sample: $(cat "$work/mqo.log")"
  printf 'OFF\n3 1 0\n0 0 0\n1 0 0\n0 1 0\n3 0 1 2\n' >"$work/tri.off"
  "$exe" --info "$work/tri.off" >"$work/off.log" || fail "the OFF plug-in did not load the file: $(cat "$work/off.log")"
  grep -q "ポリゴン数 = 1" "$work/off.log" || fail "OFF plug-in: $(cat "$work/off.log")"
  env -u DISPLAY -u WAYLAND_DISPLAY "$exe" --snapshot "$work/shot.png" --size=64x48 "$source/samples/cube.stl" >/dev/null ||
    fail "--snapshot"
  [ -s "$work/shot.png" ] || fail "--snapshot wrote nothing"
  "$exe" --thumbnail 64 "$source/samples/torus_text.cob" "$work/thumb.png" || fail "--thumbnail"
  [ -s "$work/thumb.png" ] || fail "--thumbnail wrote nothing"

  # A plug-in built against the installed kit alone is taken by the
  # installed program.
  mkdir -p "$work/kit"
  cat >"$work/kit/CMakeLists.txt" <<'CMAKE'
cmake_minimum_required(VERSION 3.25)
project(KitPlugin CXX)
find_package(Tarnelle 1.69 REQUIRED)
tarnelle_add_plugin(kit_off OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/out SOURCES off_reader.cpp)
CMAKE
  cp "$source/plugins/off/off_reader.cpp" "$work/kit/"
  cmake -S "$work/kit" -B "$work/kit/build" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" >"$work/kit.log" 2>&1 ||
    fail "configuring a plug-in against the kit: $(cat "$work/kit.log")"
  cmake --build "$work/kit/build" >>"$work/kit.log" 2>&1 || fail "building a plug-in against the kit: $(cat "$work/kit.log")"
  cp -a "$prefix" "$work/kitprefix"
  rm "$work/kitprefix/lib/tarnelle/Plugin/"*.so
  cp "$work/kit/build/out/kit_off.so" "$work/kitprefix/lib/tarnelle/Plugin/"
  "$work/kitprefix/bin/tarnelle" --info "$work/tri.off" >"$work/kit-off.log" || true
  grep -q "ポリゴン数 = 1" "$work/kit-off.log" || fail "the kit-built plug-in was not used"
  echo "installed tree checked"
}

readonly_settings() {
  [ -x "$prefix/bin/tarnelle" ] || fail "nothing installed in $prefix"
  if [ -z "${DISPLAY:-}" ]; then
    echo "skipped: the viewer needs a display (run under xvfb-run)"
    exit 77
  fi
  # A read-only copy, as under /usr: settings go to the XDG folder.
  cp -a "$prefix" "$work/ro"
  chmod -R a-w "$work/ro"
  local exe="$work/ro/bin/tarnelle"
  XDG_CONFIG_HOME="$work/config" XDG_CACHE_HOME="$work/cache" TARNELLE_SCREENSHOT="$work/window.png" \
    timeout 120 "$exe" "$source/samples/cube.stl" 2>"$work/err.log" || fail "the viewer: $(cat "$work/err.log")"
  [ -f "$work/config/tarnelle/tarnelle.ini" ] || fail "no settings file in \$XDG_CONFIG_HOME/tarnelle"
  grep -q '^backcol=0,77,102' "$work/config/tarnelle/tarnelle.ini" || fail "settings file content"
  [ -z "$(find "$work/ro" -name '*.ini')" ] || fail "settings written into the installed tree"

  # A writable installed tree (as the package leaves /usr/lib/tarnelle for
  # root) still uses the XDG folder, started through bin/ or directly.
  cp -a "$prefix" "$work/rw"
  for exe in "$work/rw/bin/tarnelle" "$work/rw/lib/tarnelle/tarnelle"; do
    rm -rf "$work/config2"
    XDG_CONFIG_HOME="$work/config2" XDG_CACHE_HOME="$work/cache2" TARNELLE_SCREENSHOT="$work/window2.png" \
      timeout 120 "$exe" "$source/samples/cube.stl" 2>"$work/err.log" || fail "the viewer: $(cat "$work/err.log")"
    [ -f "$work/config2/tarnelle/tarnelle.ini" ] || fail "$exe: no settings file in \$XDG_CONFIG_HOME/tarnelle"
    [ -z "$(find "$work/rw" -name '*.ini' -o -name Cache)" ] || fail "$exe ($(id -un)) wrote into the installed tree"
  done

  # The program folder copied out by hand is portable: its settings stay
  # beside the executable.
  cp -a "$prefix/lib/tarnelle" "$work/portable"
  XDG_CONFIG_HOME="$work/config3" TARNELLE_SCREENSHOT="$work/window3.png" \
    timeout 120 "$work/portable/tarnelle" "$source/samples/cube.stl" 2>"$work/err.log" || fail "the viewer: $(cat "$work/err.log")"
  [ -f "$work/portable/tarnelle.ini" ] || fail "no settings file beside a portable executable"
  [ ! -e "$work/config3" ] || fail "settings of a portable copy went to the XDG folder"
  echo "settings of installed (read-only and writable, as $(id -un)) and portable trees checked"
}

deb() {
  for tool in cpack dpkg-deb dpkg-shlibdeps; do
    command -v "$tool" >/dev/null || { echo "skipped: $tool is not installed"; exit 77; }
  done
  (cd "$work" && cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/pkg" >"$work/cpack.log" 2>&1) ||
    fail "cpack: $(cat "$work/cpack.log")"
  local debs=("$work"/pkg/tarnelle_*.deb)
  [ -f "${debs[0]}" ] || fail "no package: $(cat "$work/cpack.log")"
  local depends
  depends=$(dpkg-deb -f "${debs[0]}" Depends)
  for lib in libqt6widgets6 libegl1 libjpeg62-turbo libmeshoptimizer2d libc6; do
    [[ $depends == *"$lib"* ]] || fail "Depends lacks $lib: $depends"
  done
  dpkg-deb -c "${debs[0]}" >"$work/contents"
  grep -q ' ./usr/bin/tarnelle -> ../lib/tarnelle/tarnelle$' "$work/contents" || fail "no /usr/bin/tarnelle link"
  grep -q ' ./usr/share/doc/tarnelle/copyright$' "$work/contents" || fail "no /usr/share/doc/tarnelle/copyright"
  # No library of the package is on the linker's path: no ldconfig.
  dpkg-deb -e "${debs[0]}" "$work/control"
  if grep -l ldconfig "$work/control"/* >/dev/null 2>&1; then
    fail "maintainer scripts run ldconfig: $(grep -l ldconfig "$work/control"/*)"
  fi
  for script in postinst postrm; do
    [ ! -f "$work/control/$script" ] || sh -n "$work/control/$script" || fail "$script is no valid shell script"
  done
  # The stripped program, unpacked anywhere, still exports what its
  # plug-ins call.
  dpkg-deb -x "${debs[0]}" "$work/root"
  printf 'OFF\n3 1 0\n0 0 0\n1 0 0\n0 1 0\n3 0 1 2\n' >"$work/tri.off"
  "$work/root/usr/bin/tarnelle" --info "$work/tri.off" >"$work/deb-off.log" || true
  grep -q "ポリゴン数 = 1" "$work/deb-off.log" || fail "the packaged program did not load a file through its plug-in"
  # The package and the program carry one version.
  local version
  version=$(dpkg-deb -f "${debs[0]}" Version)
  [ "$("$work/root/usr/bin/tarnelle" --version)" = "tarnelle $version" ] ||
    fail "package version $version, program: $("$work/root/usr/bin/tarnelle" --version)"
  echo "package $(basename "${debs[0]}") checked; Depends: $depends"
}

case $mode in
  tree) tree ;;
  readonly) readonly_settings ;;
  deb) deb ;;
  *) fail "unknown mode $mode" ;;
esac
