#!/usr/bin/env bash
# Times archive listing and member extraction against unzip and bsdtar:
# a 1 GB ZIP of 10,000 members and a 200 MB .tar.gz, each also holding a
# 50 MB binary STL. Needs python3, perf, unzip and bsdtar (libarchive-tools);
# the archives are built in a temporary folder and removed afterwards.
# usage: bench/archive_bench.sh [BUILD_DIR]
set -euo pipefail
build=$(cd "${1:-build}" && pwd)
tarnelle=$build/app/tarnelle
work=$(mktemp -d "${TMPDIR:-/tmp}/tarnelle-archive-bench-XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"

"$build/bench/gen_meshes" . 1000000 1000000 >/dev/null
mv torus_1000000.stl torus.stl
rm -f torus_1000000*
python3 - <<'EOF'
import io, os, tarfile, zipfile
rnd = os.urandom(1 << 20)
def piece(i):
    off = (i * 7919) % (len(rnd) - 100000)
    return rnd[off:off + 100000]
with zipfile.ZipFile('big.zip', 'w', zipfile.ZIP_STORED, allowZip64=True) as z:
    for i in range(10000):
        z.writestr('m/%05d.obj' % i, piece(i))
    z.write('torus.stl', 'models/torus.stl', compress_type=zipfile.ZIP_DEFLATED)
with tarfile.open('big.tar.gz', 'w:gz', compresslevel=1) as t:
    for i in range(1800):
        info = tarfile.TarInfo('m/%05d.obj' % i)
        info.size = 100000
        t.addfile(info, io.BytesIO(piece(i)))
    t.add('torus.stl', 'models/torus.stl')
EOF
ls -l big.zip big.tar.gz torus.stl

run() {  # label, command...
  local label=$1
  shift
  for _ in 1 2 3; do
    perf stat -x, -e task-clock "$@" 2>&1 >/dev/null | awk -F, -v l="$label" '/task-clock/ {printf "%-34s %8.1f ms cpu\n", l, $1}'
    /usr/bin/time -f "%e" "$@" 2>&1 >/dev/null | tail -1 | awk -v l="$label" '{printf "%-34s %8.3f s elapsed\n", l, $1}'
  done
}
run "tarnelle --list big.zip" "$tarnelle" --list --no-plugins --filter=0 big.zip
run "unzip -l big.zip" unzip -l big.zip
run "tarnelle --list big.tar.gz" "$tarnelle" --list --no-plugins --filter=0 big.tar.gz
run "bsdtar -tzf big.tar.gz" bsdtar -tzf big.tar.gz
run "tarnelle --info big.zip//stl" "$tarnelle" --info --no-plugins big.zip//models/torus.stl
run "bsdtar -xOf big.zip stl" bsdtar -xOf big.zip models/torus.stl
run "tarnelle --info big.tar.gz//stl" "$tarnelle" --info --no-plugins big.tar.gz//models/torus.stl
run "bsdtar -xOf big.tar.gz stl" bsdtar -xOf big.tar.gz models/torus.stl
run "tarnelle --info torus.stl" "$tarnelle" --info --no-plugins torus.stl
