#!/bin/sh
# The file list's thumbnails over a folder of 300 models: the samples and
# generated tori of 1000 to 1M triangles (STL, text STL, OBJ), repeated
# under new names (hard links: each name is its own thumbnail), then a
# cold and a warm run of bench/thumbnail_gallery, and --thumbnail of the
# 1M-triangle STL alone; then the time a running --thumbnail-worker takes
# for a tiny model, and bench/thumbnail_gallery --large over a folder of
# 20,000 models (hard links to the samples).
#   bench/thumbnail_bench.sh [BUILD_DIR] [WORK_DIR]
set -eu
src=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$src/build}" && pwd)
work=${2:-${TMPDIR:-/tmp}/thumbnail_bench}
mkdir -p "$work/gen"
if [ ! -f "$work/gen/torus_1000000.stl" ]; then
  "$build/bench/gen_meshes" "$work/gen" 1000 10000 100000 1000000 >/dev/null
fi
rm -rf "$work/models"
mkdir -p "$work/models"
set --
for f in "$src"/samples/*.* "$work"/gen/*; do
  [ -f "$f" ] && set -- "$@" "$f"
done
i=0
while [ $i -lt 300 ]; do
  for f in "$@"; do
    [ $i -lt 300 ] || break
    name=$(printf 'model_%03d.%s' $i "${f##*.}")
    ln "$f" "$work/models/$name" 2>/dev/null || cp "$f" "$work/models/$name"
    i=$((i + 1))
  done
done
xvfb-run -a -s "-screen 0 1280x1024x24" \
  "$build/bench/thumbnail_gallery" "$build/app/tarnelle" "$work/models" "$work/cache"
for run in 1 2 3 4 5; do
  /usr/bin/time -f "--thumbnail 128 torus_1000000.stl: %e s" \
    "$build/app/tarnelle" --thumbnail 128 "$work/gen/torus_1000000.stl" "$work/t.png"
done
# A tiny model in a running worker: 101 requests less 1, over 100.
mkdir -p "$work/w"
worker_run() {
  n=$1
  t0=$(date +%s.%N)
  i=0
  while [ $i -lt "$n" ]; do
    printf '%s\0%s\0' "$src/samples/cube.stl" "$work/w/$i.png"
    i=$((i + 1))
  done | "$build/app/tarnelle" --thumbnail-worker 128 >/dev/null
  t1=$(date +%s.%N)
  awk "BEGIN { print $t1 - $t0 }"
}
for run in 1 2 3; do
  one=$(worker_run 1)
  many=$(worker_run 101)
  echo "tiny model (cube.stl) in a running worker: $(awk "BEGIN { printf \"%.4f\", ($many - $one) / 100 }") s" \
    "(first picture $one s)"
done
# A folder of 20,000 models.
if [ "$(ls "$work/large" 2>/dev/null | wc -l)" -ne 20000 ]; then
  rm -rf "$work/large"
  mkdir -p "$work/large"
  set --
  for f in "$src"/samples/*.*; do
    [ -f "$f" ] && set -- "$@" "$f"
  done
  i=0
  while [ $i -lt 20000 ]; do
    for f in "$@"; do
      [ $i -lt 20000 ] || break
      ln "$f" "$work/large/$(printf 'm%05d.%s' $i "${f##*.}")" 2>/dev/null ||
        cp "$f" "$work/large/$(printf 'm%05d.%s' $i "${f##*.}")"
      i=$((i + 1))
    done
  done
fi
for mode in --large --large-off; do
  xvfb-run -a -s "-screen 0 1280x1024x24" \
    "$build/bench/thumbnail_gallery" $mode "$build/app/tarnelle" "$work/large" "$work/cache"
done
# The viewer itself on that folder in large-icon view, thumbnails on and
# off (settings beside a copy of the executable, an empty cache): its
# processor time (clock ticks) and memory every second for 20 s.
mkdir -p "$work/window"
cp "$build/app/tarnelle" "$work/window/tarnelle"
cat >"$work/window/watch.sh" <<'WATCH'
#!/bin/sh
"$1/tarnelle" &
pid=$!
t=0
while [ $t -lt 20 ]; do
  sleep 1
  t=$((t + 1))
  echo "  $t s: $(awk '{print $14 + $15}' /proc/$pid/stat) ticks," \
    "$(awk '/VmRSS/ {print int($2 / 1024)}' /proc/$pid/status) MB," \
    "at most $(awk '/VmHWM/ {print int($2 / 1024)}' /proc/$pid/status) MB"
done
kill $pid
WATCH
for on in 1 0; do
  printf '[Option]\nviewtype=0\nthumbnails=%s\nlastpath=%s\n' $on "$work/large" \
    >"$work/window/tarnelle.ini"
  rm -rf "$work/window/cache"
  echo "viewer on the 20,000-model folder, thumbnails $on:"
  XDG_CACHE_HOME="$work/window/cache" xvfb-run -a -s "-screen 0 1280x1024x24" \
    sh "$work/window/watch.sh" "$work/window" 2>/dev/null
done
