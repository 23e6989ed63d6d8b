#!/usr/bin/env bash
# libcindral exports exactly its five functions and needs the C library alone.
# Usage: cindral_exports_check.sh BUILD_DIR
set -euo pipefail
lib="$1/lib/libcindral.so"
if [[ ! -f "$lib" ]]; then
  echo "skipped: $lib not built"
  exit 0
fi
exports=$(nm -D --defined-only "$lib" | awk '$2 ~ /^[TDBRtdbrWV]$/ {print $3}' | sort | tr '\n' ' ')
expected="CoDecFile DecFile2Buf GetCindralVersion IsCoded SetCode "
if [[ "$exports" != "$expected" ]]; then
  echo "libcindral exports: $exports"
  echo "expected:           $expected"
  exit 1
fi
needed=$(readelf -d "$lib" | awk '/NEEDED/ {print $NF}' | tr -d '[]' | sort | tr '\n' ' ')
if [[ "$needed" == *libasan* ]]; then
  echo "libcindral: exports as expected (sanitizer build: dependencies not checked)"
  exit 0
fi
if [[ "$needed" != "libc.so.6 " ]]; then
  echo "libcindral needs: $needed (expected libc.so.6 alone)"
  exit 1
fi
echo "libcindral: exports and dependencies as expected"
