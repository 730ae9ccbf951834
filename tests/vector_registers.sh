#!/usr/bin/env bash
# Fails unless each code path's fast kernels in the built program use the registers of their
# instruction set: vector_registers.sh BINARY PATH=WIDEST... (for example avx512=zmm avx2=ymm
# portable=xmm). The functions of a path are those in its namespace, kalvento::PATH::; their
# widest register must be WIDEST, so a path built without its flags fails, and so does one that
# reaches beyond them.
set -euo pipefail
binary="$1"
shift
command -v objdump >/dev/null || { echo "objdump is missing (binutils)"; exit 1; }
listing=$(mktemp)
trap 'rm -f "$listing"' EXIT
objdump -d -C --no-show-raw-insn "$binary" >"$listing"
status=0
for expectation in "$@"; do
  path="${expectation%%=*}"
  widest="${expectation#*=}"
  # Per path: functions, and instructions naming xmm, ymm and zmm registers.
  read -r functions xmm ymm zmm < <(awk -v ns="kalvento::$path::" '
    /^[0-9a-f]+ <.*>:$/ { inside = index($0, "<" ns) > 0; functions += inside; next }
    inside && /%xmm/ { xmm++ }
    inside && /%ymm/ { ymm++ }
    inside && /%zmm/ { zmm++ }
    END { print functions + 0, xmm + 0, ymm + 0, zmm + 0 }' "$listing")
  found=none
  [ "$xmm" -gt 0 ] && found=xmm
  [ "$ymm" -gt 0 ] && found=ymm
  [ "$zmm" -gt 0 ] && found=zmm
  echo "$path: $functions functions, instructions with xmm $xmm, ymm $ymm, zmm $zmm"
  if [ "$functions" -eq 0 ]; then
    echo "  no functions of kalvento::$path:: in $binary"
    status=1
  elif [ "$found" != "$widest" ]; then
    echo "  widest register $found, expected $widest"
    status=1
  fi
done
exit $status
