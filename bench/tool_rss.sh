#!/usr/bin/env bash
# Peak memory of the quorvin tool on a large image: decode to BMP, decode to
# PNG and info on an 8-bit 20000 x 20000 BMP (400 MB of pixels), made in a
# temporary folder and removed afterwards. Measured with /usr/bin/time -v
# (scripts/deps installs it); the goal is under 32 MB for each.
#
# Usage: bench/tool_rss.sh [BUILD_BIN_DIR] [WIDTH HEIGHT]   (default build/release/bin)
set -euo pipefail
bin="${1:-build/release/bin}"
w="${2:-20000}" h="${3:-20000}"
[ -x /usr/bin/time ] || { echo "tool_rss: /usr/bin/time is missing (scripts/deps installs it)"; exit 2; }
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
"$bin/samplegen" --big-bmp "$w" "$h" "$dir/big.bmp" >/dev/null
measure() {  # $1: label; the rest: the command
  local label=$1
  shift
  /usr/bin/time -v "$@" 2>"$dir/time.log" >/dev/null
  local kb seconds
  kb=$(sed -n 's/.*Maximum resident set size (kbytes): //p' "$dir/time.log")
  seconds=$(sed -n 's/.*Elapsed (wall clock) time (h:mm:ss or m:ss): //p' "$dir/time.log")
  printf '%-28s peak RSS %6.1f MB  wall %s  %s\n' "$label" "$(awk "BEGIN { print $kb / 1024 }")" "$seconds" \
    "$([ "$kb" -lt $((32 * 1024)) ] && echo '(under 32 MB)' || echo '(OVER 32 MB)')"
}
echo "quorvin on an 8-bit ${w} x ${h} BMP ($(stat -c %s "$dir/big.bmp") bytes)"
measure "decode -o out.bmp" "$bin/quorvin" decode "$dir/big.bmp" -o "$dir/out.bmp"
cmp -s "$dir/big.bmp" "$dir/out.bmp" && echo "  (the BMP written is byte-identical to the input)"
rm -f "$dir/out.bmp"
measure "decode -o out.png" "$bin/quorvin" decode "$dir/big.bmp" -o "$dir/out.png"
rm -f "$dir/out.png"
measure "info" "$bin/quorvin" info "$dir/big.bmp"
