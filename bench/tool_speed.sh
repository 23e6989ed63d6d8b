#!/usr/bin/env bash
# Whole-process CPU time of `quorvin decode FILE -o OUT.bmp` against peers
# doing the same job as tools: `tiffcp -c none` for TIFF (libtiff reads the
# strips and writes them uncompressed) and sdl_bmp_copy (SDL2_image loads the
# file, SDL writes a BMP) for stored BMP rows. The files come from
# make_bench_files: 4096 x 4096 RGB TIFF uncompressed, PackBits and LZW, a
# 1728 x 22000 text page as G4, G3 2-D and G3 1-D, a 4096 x 4096 24-bit BMP.
# Each command runs RUNS times (default 5), ours and the peer's in turn; the
# figures are medians of user + system time (cpu_time, from the kernel's
# accounting), and the ratio is peer / ours: above 1 the tool is faster.
#
# Usage: bench/tool_speed.sh [BUILD_BIN_DIR] [RUNS]   (default build/release/bin 5)
set -euo pipefail
bin="${1:-build/release/bin}"
runs="${2:-5}"
for program in quorvin make_bench_files cpu_time; do
  [ -x "$bin/$program" ] || { echo "tool_speed: $bin/$program is missing (build the release preset)"; exit 2; }
done
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
"$bin/make_bench_files" "$dir" >/dev/null
# No progress bar on a terminal (an older tool without -q draws none off one).
quiet=()
"$bin/quorvin" --help | grep -q -- --quiet && quiet=(-q)

median() { sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

# $1 label, $2 goal, $3 input file, $4 peer (tiffcp or sdl)
compare() {
  local label=$1 goal=$2 in="$dir/$3" peer=$4 ours peers
  : >"$dir/ours.t"
  : >"$dir/peer.t"
  for ((i = 0; i < runs; i++)); do
    "$bin/cpu_time" "$bin/quorvin" decode "${quiet[@]}" "$in" -o "$dir/out.bmp" >>"$dir/ours.t"
    case $peer in
      tiffcp) "$bin/cpu_time" tiffcp -c none "$in" "$dir/out.tif" >>"$dir/peer.t" ;;
      sdl) "$bin/cpu_time" "$bin/sdl_bmp_copy" "$in" "$dir/sdl.bmp" >>"$dir/peer.t" ;;
    esac
    rm -f "$dir/out.bmp" "$dir/out.tif" "$dir/sdl.bmp"
  done
  ours=$(median <"$dir/ours.t")
  peers=$(median <"$dir/peer.t")
  printf '%-26s quorvin %7.1f ms  %-12s %7.1f ms  ratio %5.2f  (goal >= %s)\n' "$label" \
    "$(awk "BEGIN { print $ours * 1000 }")" "$peer" "$(awk "BEGIN { print $peers * 1000 }")" \
    "$(awk "BEGIN { print $peers / $ours }")" "$goal"
}

echo "CPU time per whole process, median of $runs; ratio = peer / quorvin"
if command -v tiffcp >/dev/null && [ -f "$dir/rgb-none.tif" ]; then
  compare "RGB uncompressed TIFF" 1.0 rgb-none.tif tiffcp
  compare "RGB PackBits TIFF" 1.0 rgb-packbits.tif tiffcp
  compare "RGB LZW TIFF" 1.5 rgb-lzw.tif tiffcp
  compare "G4 page" 2.0 g4.tif tiffcp
  compare "G3 2-D page" 2.0 g3-2d.tif tiffcp
  compare "G3 1-D page" 2.0 g3-1d.tif tiffcp
else
  echo "(tiffcp or the TIFF files are missing: libtiff-tools and libtiff-dev, scripts/deps installs them)"
fi
if [ -x "$bin/sdl_bmp_copy" ]; then
  compare "BMP 24-bit stored rows" 1.0 rgb24.bmp sdl
else
  echo "(sdl_bmp_copy was not built: SDL2_image is missing)"
fi
