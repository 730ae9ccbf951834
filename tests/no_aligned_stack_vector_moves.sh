#!/usr/bin/env bash
# Fails when the program moves a 32- or 64-byte vector register to or from the stack with an
# aligned move. Windows aligns the stack to 16 bytes only, so such a move of a spilled register
# faults whenever the frame is not 32-byte aligned (the build makes the assembler write unaligned
# moves instead; this holds it to that).
set -euo pipefail
binary="$1"
command -v objdump >/dev/null || { echo "objdump is missing (binutils)"; exit 1; }
aligned='vmov(ap[sd]|dqa(32|64)?|nt(dqa?|p[sd]))'
stack='\(%r[sb]p[,)]'
moves=$(objdump -d --no-show-raw-insn "$binary" |
  grep -E "\s${aligned}\s+(%[yz]mm[0-9]+,.*${stack}|.*${stack}.*,%[yz]mm[0-9]+)" || true)
if [ -n "$moves" ]; then
  echo "aligned vector moves to or from the stack in $binary:"
  echo "$moves" | head -20
  exit 1
fi
echo "no aligned 32- or 64-byte vector moves on the stack in $binary"
