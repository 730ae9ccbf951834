#!/usr/bin/env bash
# Estimates, without running them, what the 64-bit ARM kernels cost per double-precision
# operation on a given core: each kernel's hot loop, plain and NEON, compiled as the build does
# (gcc for aarch64, -O3 -ffp-contract=off) and fed to llvm-mca. The hot loop of a source is the
# innermost loop with the most floating-point additions, subtractions, multiplications and
# divisions (a NEON one counts two); the estimate is llvm-mca's cycles per iteration divided by
# those operations. An emulator cannot
# time ARM code, so this is the only speed figure a machine without an ARM core can give.
#
#   bench/llvm_mca_estimates.sh [CPU...]   (default: neoverse-n1 neoverse-v1)
# Needs g++-aarch64-linux-gnu and llvm (llvm-mca-14, or LLVM_MCA=...).
set -euo pipefail
source_dir="$(cd "$(dirname "$0")/.." && pwd)"
cxx="${CXX_AARCH64:-aarch64-linux-gnu-g++}"
mca="${LLVM_MCA:-llvm-mca-14}"
cpus=("$@")
[ ${#cpus[@]} -gt 0 ] || cpus=(neoverse-n1 neoverse-v1)
command -v "$cxx" >/dev/null || { echo "$cxx is missing (g++-aarch64-linux-gnu)"; exit 1; }
command -v "$mca" >/dev/null || { echo "$mca is missing (llvm)"; exit 1; }
# MCA_KEEP=DIR keeps the assembly and the loops there.
if [ -n "${MCA_KEEP:-}" ]; then
  mkdir -p "$MCA_KEEP"
  work="$MCA_KEEP"
else
  work=$(mktemp -d)
  trap 'rm -rf "$work"' EXIT
fi

# hot_loop ASSEMBLY OUT FUNCTIONS: writes the hot loop of the functions whose (mangled) names
# match FUNCTIONS to OUT and prints "FUNCTION OPERATIONS INSTRUCTIONS".
hot_loop() {
  awk -v out="$2" -v functions="$3" '
    { line[NR] = $0 }
    /^\.L[0-9A-Za-z_]+:/ { label[substr($1, 1, length($1) - 1)] = NR }
    /^[ \t]+\.type[ \t].*%function/ { split($2, f, ","); fn[NR] = f[1]; current = f[1] }
    # A branch back to a label opens a loop.
    /^[ \t]+(b|b\.[a-z]+|b(eq|ne|cs|hs|cc|lo|mi|pl|vs|vc|hi|ls|ge|lt|gt|le)|cbn?z|tbn?z)[ \t]/ {
      target = $NF
      if (target in label && label[target] < NR && current ~ functions) {
        loops++; start[loops] = label[target]; end[loops] = NR
      }
    }
    END {
      # Innermost loops first; a kernel whose inner loops hold no arithmetic (the rare cases of a
      # wavefront) has its hot loop among the others, taken without the loops nested in it.
      for (pass = 1; pass <= 2 && best == 0; pass++)
        for (i = 1; i <= loops; i++) {
          nested = 0
          for (k = start[i] + 1; k <= end[i]; k++) own[k] = 1
          for (j = 1; j <= loops; j++)
            if (j != i && start[j] >= start[i] && end[j] <= end[i] && (start[j] > start[i] || end[j] < end[i])) {
              nested = 1
              for (k = start[j]; k <= end[j]; k++) own[k] = 0
            }
          if (pass == 1 && nested) { delete own; continue }
          ops = 0; count = 0
          for (k = start[i] + 1; k <= end[i]; k++) {
            if (!own[k]) continue
            if (line[k] ~ /^[ \t]+[a-z]/ && line[k] !~ /^[ \t]+\./) count++
            if (line[k] ~ /^[ \t]+f(add|sub|mul|div)[ \t]/) ops += line[k] ~ /\.2d/ ? 2 : 1
          }
          if (ops > 0 && (ops > best_ops || (ops == best_ops && count > best_count))) {
            best = i; best_ops = ops; best_count = count
            delete chosen
            for (k = start[i] + 1; k <= end[i]; k++) chosen[k] = own[k]
          }
          delete own
        }
      if (best == 0) exit 1
      name = "?"
      for (k = start[best]; k > 0; k--) if (k in fn) { name = fn[k]; break }
      print line[start[best]] > out
      for (k = start[best] + 1; k <= end[best]; k++)
        if (chosen[k] && line[k] ~ /^[ \t]+[a-z]/ && line[k] !~ /^[ \t]+\./) print line[k] > out
      print name, best_ops, best_count
    }' "$1"
}

# compile SOURCE NAMESPACE OUT: the plain source as the core builds it, a fast one as NEON path.
compile() {
  "$cxx" -std=c++20 -O3 -ffp-contract=off -I"$source_dir" -DKALVENTO_FAST_NS="$2" \
    -DKALVENTO_FAST_PATH_NAME="\"$2\"" -S -o "$3" "$source_dir/$1"
}

printf '%-12s %-6s %-12s %-7s %-12s %-12s %s\n' kernel form cpu "ops/it" "cycles/it" "cycles/op" "hot loop"
# Each kernel with the plain function that does its work (the fast ones are all in kalvento::neon).
for kernel in fft:fft_core sor:sor_sweep monte_carlo:monte_carlo_pi sparse:csr_multiply \
  lu:lu_decompose; do
  plain_function="${kernel#*:}"
  kernel="${kernel%%:*}"
  declare -A per_op=()
  for form in plain neon; do
    source="kernels/$kernel.cpp"
    functions="^_ZN8kalvento[0-9]+$plain_function"
    if [ "$form" = neon ]; then
      source="kernels/${kernel}_fast.cpp"
      functions="^_ZN8kalvento4neon"
    fi
    compile "$source" neon "$work/$kernel.$form.s"
    read -r function ops instructions < <(hot_loop "$work/$kernel.$form.s" "$work/$kernel.$form.loop" \
      "$functions") ||
      { echo "$kernel $form: no loop with floating-point arithmetic"; continue; }
    function=$(echo "$function" | c++filt | cut -c1-60)
    for cpu in "${cpus[@]}"; do
      cycles=$("$mca" -mtriple=aarch64 -mcpu="$cpu" -iterations=1000 "$work/$kernel.$form.loop" 2>/dev/null |
        awk '/^Iterations:/ { it = $2 } /^Total Cycles:/ { c = $3 } END { printf "%.2f", c / it }')
      per_op[$cpu.$form]=$(awk -v c="$cycles" -v o="$ops" 'BEGIN { printf "%.3f", c / o }')
      printf '%-12s %-6s %-12s %-7s %-12s %-12s %s (%s instructions)\n' "$kernel" "$form" "$cpu" "$ops" \
        "$cycles" "${per_op[$cpu.$form]}" "$function" "$instructions"
    done
  done
  for cpu in "${cpus[@]}"; do
    [ -n "${per_op[$cpu.plain]:-}" ] && [ -n "${per_op[$cpu.neon]:-}" ] &&
      awk -v k="$kernel" -v c="$cpu" -v p="${per_op[$cpu.plain]}" -v n="${per_op[$cpu.neon]}" \
        'BEGIN { printf "%-12s ratio  %-12s plain/neon cycles per operation: %.2fx\n", k, c, p / n }'
  done
  unset per_op
done
