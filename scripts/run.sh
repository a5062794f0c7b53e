#!/usr/bin/env bash
# Builds Tarnelle (the program with its plug-ins and archiver modules) and
# starts the viewer on the bundled samples/ folder with
# one sample loaded. Without a display it runs the viewer under a virtual X
# server, saves a picture of the whole window and prints where it is.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
build="${TARNELLE_BUILD_DIR:-build}"
# The same configuration as scripts/test.sh, so that either command reuses
# what the other one built.
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTARNELLE_WERROR=ON >/dev/null
cmake --build "$build" -j "$(nproc)" --target tarnelle_program

# The sample to show: a shaded one when there, else any model in samples/.
sample=""
for f in samples/torus.obj samples/icosphere.obj samples/*.obj samples/*.stl samples/*.*; do
  if [ -f "$f" ]; then
    sample="$f"
    break
  fi
done
args=()
[ -n "$sample" ] && args=("$PWD/$sample")

if [ -n "${DISPLAY:-}" ] || [ -n "${WAYLAND_DISPLAY:-}" ]; then
  exec "$build/app/tarnelle" "${args[@]}"
fi

shot="$(cd "$build" && pwd)/screenshot.png"
rm -f "$shot"
echo "No display: running the viewer on a virtual X server to take a picture of it." >&2
# The viewer's own messages stay on standard error: they say why when it fails.
status=0
TARNELLE_SCREENSHOT="$shot" timeout 120 \
  xvfb-run -a -s "-screen 0 1280x1024x24" "$build/app/tarnelle" "${args[@]}" || status=$?
if [ -s "$shot" ]; then
  echo "Screenshot of the Tarnelle window: $shot"
else
  echo "tarnelle: the viewer did not produce a screenshot (exit status $status)" >&2
  exit 1
fi
