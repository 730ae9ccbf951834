#!/usr/bin/env bash
# Fails when the built program contains a fused multiply-add instruction: every checksum assumes
# that each product is rounded before it is added, and compilers can fuse behind the flags' back.
# no_fused_multiply_add.sh BINARY [OBJDUMP]: OBJDUMP is the target's (for example
# aarch64-linux-gnu-objdump) when the program was cross-compiled.
set -euo pipefail
binary="$1"
objdump="${2:-objdump}"
command -v "$objdump" >/dev/null || { echo "$objdump is missing (binutils)"; exit 1; }
# x86-64: FMA3, FMA4 and their AVX-512 forms. 64-bit ARM: the scalar fmadd family, the vector
# fmla and fmls, and SVE's fmad, fmsb and negated forms.
x86='vfn?m(add|sub)(sub|add)?[0-9]{3}[ps][sd]|vfmaddsub|vfmsubadd|vfn?madd[ps][sd]|vfn?msub[ps][sd]'
arm='fn?madd|fn?msub|fn?mla|fn?mls|fn?mad|fn?msb'
fused=$("$objdump" -d --no-show-raw-insn "$binary" | grep -E "\\s($x86|$arm)\\b" || true)
if [ -n "$fused" ]; then
  echo "fused multiply-add instructions in $binary:"
  echo "$fused" | head -20
  exit 1
fi
echo "no fused multiply-add in $binary"
