#!/usr/bin/env bash
# Fails unless each code path's fast kernels in the built program use the registers of their
# instruction set: vector_registers.sh BINARY OBJDUMP PATH=WIDEST... (for example avx512=zmm
# avx2=ymm portable=xmm on x86-64; neon=v portable=d on 64-bit ARM, where d is a scalar double
# register and v a 128-bit vector one, written v0.2d or q0). The functions of a path are those in
# its namespace, kalvento::PATH::; their widest register must be WIDEST, so a path built without
# its flags fails, and so does one that reaches beyond them.
set -euo pipefail
binary="$1"
objdump="$2"
shift 2
command -v "$objdump" >/dev/null || { echo "$objdump is missing (binutils)"; exit 1; }
listing=$(mktemp)
trap 'rm -f "$listing"' EXIT
"$objdump" -d -C --no-show-raw-insn "$binary" >"$listing"
status=0
for expectation in "$@"; do
  path="${expectation%%=*}"
  widest="${expectation#*=}"
  # Per path: functions, and instructions naming each kind of register, narrowest first.
  read -r functions d v xmm ymm zmm < <(awk -v ns="kalvento::$path::" '
    /^ *[0-9a-f]+ <.*>:$/ { inside = index($0, "<" ns) > 0; functions += inside; next }
    !inside { next }
    /[\t ,]d[0-9]+(,|$)/ { d++ }
    /[\t ,\{](v[0-9]+\.|q[0-9]+(,|$))/ { v++ }
    /%xmm/ { xmm++ }
    /%ymm/ { ymm++ }
    /%zmm/ { zmm++ }
    END { print functions + 0, d + 0, v + 0, xmm + 0, ymm + 0, zmm + 0 }' "$listing")
  found=none
  for kind in d v xmm ymm zmm; do
    [ "${!kind}" -gt 0 ] && found=$kind
  done
  echo "$path: $functions functions, instructions with d $d, v $v, xmm $xmm, ymm $ymm, zmm $zmm"
  if [ "$functions" -eq 0 ]; then
    echo "  no functions of kalvento::$path:: in $binary"
    status=1
  elif [ "$found" != "$widest" ]; then
    echo "  widest register $found, expected $widest"
    status=1
  fi
done
exit $status
