#!/usr/bin/env bash
# Runs libFuzzer targets with the limits every target keeps.
#
#   fuzz/run.sh TARGET SECONDS   one campaign; new inputs are kept in
#                                fuzz/corpus/TARGET (not committed), and
#                                the shared corpus of real files is added
#                                when it is there (TARNELLE_CORPUS or
#                                ../shared/corpus beside the checkout)
#   fuzz/run.sh all SECONDS      every target in turn on its seeds alone,
#                                new inputs thrown away (what CI runs)
#
# Builds the targets in build-fuzz (clang, -DTARNELLE_FUZZ=ON) first. Exits
# non-zero when a target finds a crash, a hang, a leak or an allocation
# over the limit; the input is left in fuzz/artifacts/TARGET/. Prints one
# line per target: executions, executions per second and coverage (edges)
# at start and end.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$(pwd)

[ $# -eq 2 ] || { echo "usage: fuzz/run.sh TARGET|all SECONDS" >&2; exit 2; }
what=$1
seconds=$2

# Per input: 10 s, 2 GB resident, and no single allocation above 64 times
# the input plus 64 MB. libFuzzer's malloc limit is one number, so it is
# taken for the longest input: 64 KiB -> 64 * 64 KiB + 64 MB = 68 MB.
max_len=65536
malloc_limit_mb=$((64 * max_len / 1048576 + 64))
limits=(-max_len=$max_len -timeout=10 -rss_limit_mb=2048 -malloc_limit_mb=$malloc_limit_mb)

build=${TARNELLE_FUZZ_BUILD:-build-fuzz}
if [ ! -f "$build/CMakeCache.txt" ]; then
  CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DTARNELLE_WERROR=ON -DTARNELLE_GUI=OFF -DTARNELLE_BENCH=OFF -DTARNELLE_FUZZ=ON >/dev/null
fi
cmake --build "$build" -j "${TARNELLE_FUZZ_JOBS:-2}" --target fuzz_all >/dev/null

targets=$(cd fuzz/seeds && ls)
declare -A ext=([reader_dxf]=dxf [reader_obj]=obj [reader_3ds]=3ds [reader_lwo]=lwo
  [reader_mqo]=mqo [reader_rok]=rok [reader_ply]=ply [reader_cob]=cob [reader_stl]=stl
  [ply_lib]=ply [plugin_off]=off)

# Real files of the target's format that fit in one input, linked into dir.
add_shared_corpus() {
  local target=$1 dir=$2 shared=${TARNELLE_CORPUS:-$repo/../shared/corpus}
  local e=${ext[$target]:-}
  [ -n "$e" ] && [ -d "$shared" ] || return 0
  find "$shared" -type f -iname "*.$e" -size -$((max_len / 1024 + 1))k -print0 |
    while IFS= read -r -d '' f; do ln -sf "$f" "$dir/shared_$(basename "$f")"; done
}

run_one() {
  local target=$1 secs=$2 corpus=$3
  local log artifacts="$repo/fuzz/artifacts/$target/"
  mkdir -p "$artifacts" "$corpus"
  log=$(mktemp)
  local dict=()
  [ -f "fuzz/dict/$target.dict" ] && dict=(-dict="fuzz/dict/$target.dict")
  local status=0
  "$build/fuzz/fuzz_$target" "${limits[@]}" "${dict[@]}" -max_total_time="$secs" \
    -print_final_stats=1 -artifact_prefix="$artifacts" "$corpus" "fuzz/seeds/$target" \
    >"$log" 2>&1 || status=$?
  local start end execs rate
  start=$(grep -m1 -o 'INITED cov: [0-9]*' "$log" | grep -o '[0-9]*$' || true)
  end=$(grep -o 'cov: [0-9]*' "$log" | tail -1 | grep -o '[0-9]*$' || true)
  execs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$' || true)
  rate=$(grep -o 'stat::average_exec_per_sec: *[0-9]*' "$log" | grep -o '[0-9]*$' || true)
  printf '%-12s execs %10s  execs/s %7s  edges %5s -> %5s  %s\n' "$target" "${execs:-?}" \
    "${rate:-?}" "${start:-?}" "${end:-?}" "$([ $status -eq 0 ] && echo ok || echo FINDING)"
  if [ $status -ne 0 ]; then
    grep -E 'ERROR|SUMMARY|fuzz check failed|Test unit written' "$log" >&2 || tail -40 "$log" >&2
  fi
  rm -f "$log"
  return $status
}

if [ "$what" = all ]; then
  failed=0
  for t in $targets; do
    scratch=$(mktemp -d)
    run_one "$t" "$seconds" "$scratch" || failed=1
    rm -rf "$scratch"
  done
  exit $failed
fi

[ -d "fuzz/seeds/$what" ] || { echo "unknown target $what (one of: $targets)" >&2; exit 2; }
corpus="fuzz/corpus/$what"
mkdir -p "$corpus"
add_shared_corpus "$what" "$corpus"
run_one "$what" "$seconds" "$corpus"
