#!/usr/bin/env bash
# Instructions per page of the fax decoders and of libtiff, counted by
# callgrind: a figure that a busy machine does not disturb.
# bench/fax_instructions.sh [BUILD_DIR] (default build/release)
set -euo pipefail
bin="${1:-build/release}/bin/bench_fax"
pages=4
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
count() {
  valgrind --tool=callgrind --callgrind-out-file="$out/$1" --collect-atstart=no \
    --toggle-collect='*CountedDecode*' "$bin" --count="$1" >/dev/null 2>&1
  # The summary line holds the instructions executed while collecting.
  awk '/^summary:/ { print $2 }' "$out/$1"
}
for coding in G4 G3-2D G3-1D; do
  ours=$(count "quorvin-$coding")
  peer=$(count "libtiff-$coding")
  awk -v c="$coding" -v o="$ours" -v p="$peer" -v n="$pages" 'BEGIN {
    printf "%-6s quorvin %6.2f M instructions/page, libtiff %6.2f M/page, ratio %.2f\n", c, o / n / 1e6, p / n / 1e6, p / o }'
done
raw=$(count quorvin-raw-G3)
awk -v o="$raw" -v n="$pages" 'BEGIN { printf "raw G3 quorvin %6.2f M instructions/page\n", o / n / 1e6 }'
