#!/usr/bin/env bash
# Builds everything and runs every test: the Release build (warnings as
# errors) under a virtual X server, then the Qt-free libraries and their
# tests again with AddressSanitizer and UndefinedBehaviorSanitizer, the
# drawing and preparation threads under ThreadSanitizer and
# AddressSanitizer, and every fuzz target briefly. Skipped tests are listed with their reasons at
# the end of each test run.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh

jobs=$(nproc)
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release -DTARNELLE_WERROR=ON >/dev/null
cmake --build build -j "$jobs"
# Runs ctest on a build folder, then lists what it skipped and why (also
# when something failed, so that the reasons are not lost).
run_ctest() {
  local title=$1 dir=$2
  shift 2
  local status=0
  "$@" --test-dir "$dir" --output-on-failure -j "$jobs" --output-junit skipped-report.xml || status=$?
  bash scripts/skip_summary.sh "$dir/skipped-report.xml" "$title"
  return $status
}
run_ctest "Release tests" build xvfb-run -a -s "-screen 0 1280x1024x24" ctest --timeout 900

san="-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined"
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARNELLE_WERROR=ON \
  -DTARNELLE_GUI=OFF -DTARNELLE_BENCH=OFF \
  -DCMAKE_CXX_FLAGS="$san" -DCMAKE_C_FLAGS="$san" \
  -DCMAKE_EXE_LINKER_FLAGS="$san" -DCMAKE_SHARED_LINKER_FLAGS="$san" -DCMAKE_MODULE_LINKER_FLAGS="$san" >/dev/null
cmake --build build-asan -j "$jobs"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
  run_ctest "Sanitizer tests" build-asan ctest --timeout 1800 -LE gui
# The render thread and the mesh preparation's second thread (label
# "threads"): under ThreadSanitizer, and with the window under
# AddressSanitizer (stops at every stage leave no leak behind).
threads_build() {
  local dir=$1 flags=$2
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARNELLE_WERROR=ON \
    -DTARNELLE_BENCH=OFF -DCMAKE_CXX_FLAGS="$flags" -DCMAKE_C_FLAGS="$flags" \
    -DCMAKE_EXE_LINKER_FLAGS="$flags" -DCMAKE_SHARED_LINKER_FLAGS="$flags" \
    -DCMAKE_MODULE_LINKER_FLAGS="$flags" >/dev/null
  cmake --build "$dir" -j "$jobs" --target render_thread_tests mesh_tests
}
threads_build build-tsan "-fsanitize=thread -fno-omit-frame-pointer"
TSAN_OPTIONS="halt_on_error=1 suppressions=$PWD/tests/tsan.supp" \
  run_ctest "ThreadSanitizer tests" build-tsan \
  xvfb-run -a -s "-screen 0 1280x1024x24" ctest --timeout 1800 -L threads
threads_build build-asan-gui "$san"
# Leaks are written to files and judged afterwards: a leak allocated from
# our code fails the run; the few bytes the toolkit, the session bus and
# the driver keep for the process's life, in libraries built without frame
# pointers, are listed only.
rm -rf build-asan-gui/leaks && mkdir -p build-asan-gui/leaks
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
  LSAN_OPTIONS="suppressions=$PWD/tests/lsan.supp:exitcode=0:log_path=$PWD/build-asan-gui/leaks/lsan" \
  run_ctest "Sanitizer tests of the threads" build-asan-gui \
  xvfb-run -a -s "-screen 0 1280x1024x24" ctest --timeout 1800 -L threads
bash scripts/our_leaks.sh build-asan-gui/leaks
# Every fuzz target for a short while on its seeds (clang, build-fuzz).
TARNELLE_FUZZ_JOBS=$jobs bash fuzz/run.sh all 20
echo "all tests passed"
