#!/usr/bin/env bash
# Builds Tarnelle and shows the bundled samples. Until the viewer window
# exists this prints the load log of every sample with `tarnelle --info`.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j "$(nproc)" --target tarnelle
echo "The viewer window is not built yet; this is tarnelle --info over samples/:"
build/app/tarnelle --info samples/*.*
