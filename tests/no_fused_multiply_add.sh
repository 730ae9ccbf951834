#!/usr/bin/env bash
# Fails when the built program contains a fused multiply-add instruction: every checksum assumes
# that each product is rounded before it is added, and compilers can fuse behind the flags' back.
set -euo pipefail
binary="$1"
command -v objdump >/dev/null || { echo "objdump is missing (binutils)"; exit 1; }
fused=$(objdump -d --no-show-raw-insn "$binary" |
  grep -E '\s(vfn?m(add|sub)(sub|add)?[0-9]{3}[ps][sd]|vfmaddsub|vfmsubadd|vfn?madd[ps][sd]|vfn?msub[ps][sd])\b' || true)
if [ -n "$fused" ]; then
  echo "fused multiply-add instructions in $binary:"
  echo "$fused" | head -20
  exit 1
fi
echo "no fused multiply-add in $binary"
