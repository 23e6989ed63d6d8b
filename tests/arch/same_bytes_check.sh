#!/usr/bin/env bash
# A cross build decodes the whole corpus to the same bytes as the native
# release build: compares corpus_digest of both, line by line.
# Usage: same_bytes_check.sh NATIVE_DIGEST EMULATOR CROSS_DIGEST CORPUS_DIR
set -euo pipefail
native="$1" emulator="$2" cross="$3" corpus="$4"
if [[ ! -d "$corpus" ]]; then
  echo "QV_NOT_RUN: same_bytes_check: the shared corpus is absent"
  exit 0
fi
[[ -x "$native" ]] || { echo "FAIL: $native missing: build the release preset first"; exit 1; }
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
"$native" "$corpus" >"$tmp/native"
$emulator "$cross" "$corpus" >"$tmp/cross"
if ! diff "$tmp/native" "$tmp/cross" >"$tmp/diff"; then
  echo "FAIL: $(grep -c '^<' "$tmp/diff") of $(wc -l <"$tmp/native") files decode differently:"
  head -n 20 "$tmp/diff"
  exit 1
fi
echo "$(wc -l <"$tmp/native") corpus files decode to the same bytes (bottom-up and top-down)"
