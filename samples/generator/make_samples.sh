#!/usr/bin/env bash
# Rewrites samples/ from our generators: the small shapes of generate_samples
# and one small torus in each further text or binary format, taken from the
# benchmark generators at a small size (their 3DS and LWO grids are long thin
# strips at small sizes, so those formats are not sampled).
# Usage: make_samples.sh BUILD_DIR
set -euo pipefail
cd "$(dirname "$0")/../.."
build="${1:-build}"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
"$build/samples/generator/generate_samples" samples
"$build/bench/gen_ply" "$tmp" 1200 >/dev/null
"$build/bench/gen_dxf_mqo" "$tmp" 1200 >/dev/null
"$build/bench/gen_cob" "$tmp" 1200 >/dev/null
cp "$tmp/torus_1200_le.ply" samples/torus.ply
cp "$tmp/torus_1200.dxf" samples/torus.dxf
cp "$tmp/torus_1200.mqo" samples/torus.mqo
cp "$tmp/torus_1200_text.cob" samples/torus_text.cob
cp "$tmp/torus_1200.cob" samples/torus_binary.cob
cp tests/fixtures/rok/cube_palette.rok samples/cube_palette.rok  # written by hand from the format
python3 scripts/make_textured_sample.py samples/textured
