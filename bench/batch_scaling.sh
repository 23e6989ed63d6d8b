#!/usr/bin/env bash
# Throughput of quorvin batch with one thread and with two (or N): 200 mixed
# files (8-bit BMPs of several sizes from samplegen, the fax, TIFF, GIF, PCX
# and Targa samples of pysamples and samplegen --set), converted to PNG; the
# best of three runs each. Prints files per second and the ratio.
# Usage: bench/batch_scaling.sh [BUILD_DIR] [THREADS]   (default build/release, 2)
set -euo pipefail
build=$(cd "${1:-build/release}" && pwd)
threads=${2:-2}
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
mkdir -p "$tmp/set" "$tmp/src"
"$build/bin/samplegen" --set "$tmp/set" >/dev/null
if [[ -x "$build/bin/pysamples" ]]; then "$build/bin/pysamples" "$tmp/set"; fi
for size in 600 900 1200 1500; do
  "$build/bin/samplegen" --big-bmp "$size" "$((size * 3 / 4))" "$tmp/set/big-$size.bmp" >/dev/null
done
mapfile -t kinds < <(ls "$tmp/set")
for i in $(seq 0 199); do
  name=${kinds[$((i % ${#kinds[@]}))]}
  cp "$tmp/set/$name" "$tmp/src/$(printf %03d "$i")-$name"
done
echo "200 files, $(du -sh "$tmp/src" | cut -f1), ${#kinds[@]} kinds; $(nproc) cores"
best() {  # $1 threads: the best files/s of three runs
  local rate best=0
  for run in 1 2 3; do
    rm -rf "$tmp/out"
    start=$(date +%s.%N)
    "$build/bin/quorvin" batch "$tmp/src" -o "$tmp/out" -j "$1" --pages all >/dev/null 2>&1 || true
    rate=$(echo "200 / ($(date +%s.%N) - $start)" | bc -l)
    best=$(echo "if ($rate > $best) $rate else $best" | bc -l)
  done
  echo "$best"
}
one=$(best 1)
many=$(best "$threads")
printf -- "-j 1: %.1f files/s\n-j %d: %.1f files/s\nratio: %.2f\n" "$one" "$threads" "$many" "$(echo "$many / $one" | bc -l)"
