#!/usr/bin/env bash
# Quorvin.dll exports exactly _Corvane@8, Cindral.dll exactly its five functions,
# and both import from KERNEL32.dll and msvcrt.dll alone.
# Usage: dll_exports_check.sh OBJDUMP Quorvin.dll Cindral.dll
set -euo pipefail
objdump="$1"
status=0

# Names of the export table: the rows after "[Ordinal/Name Pointer] Table".
exports() {
  "$objdump" -p "$1" | awk '/\[Ordinal\/Name Pointer\] Table/ {t = 1; next}
                            t && /^[ \t]*\[/ {print $NF; next}
                            t {t = 0}' | sort | tr '\n' ' '
}
imports() {
  "$objdump" -p "$1" | awk '/^[ \t]*DLL Name:/ {print $3}' | sort -f | tr '\n' ' '
}

check() {
  local dll="$1" want_exports="$2" got ok=1
  got=$(exports "$dll")
  if [[ "$got" != "$want_exports" ]]; then
    echo "$(basename "$dll") exports: '$got' expected: '$want_exports'"
    ok=0
  fi
  got=$(imports "$dll")
  if [[ "$got" != "KERNEL32.dll msvcrt.dll " ]]; then
    echo "$(basename "$dll") imports: '$got' expected: 'KERNEL32.dll msvcrt.dll '"
    ok=0
  fi
  if [[ $ok -eq 1 ]]; then
    echo "$(basename "$dll"): exports '$want_exports'; imports KERNEL32.dll, msvcrt.dll"
  else
    status=1
  fi
}

check "$2" "_Corvane@8 "
check "$3" "CoDecFile DecFile2Buf GetCindralVersion IsCoded SetCode "
exit $status
