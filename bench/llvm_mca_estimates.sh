#!/usr/bin/env bash
# Estimates, without running them, what the 64-bit ARM kernels cost per double-precision
# operation on a given core: each kernel's hot loop, plain and NEON, compiled as the build does
# (gcc for aarch64, -O3 -ffp-contract=off) and fed to llvm-mca. The hot loop of a source is the
# innermost loop with the most floating-point additions, subtractions, multiplications and
# divisions (a NEON one counts two); the estimate is llvm-mca's cycles per iteration divided by
# those operations. An emulator cannot
# time ARM code, so this is the only speed figure a machine without an ARM core can give.
#
# For the NEON kernels it also estimates a whole call at the default sizes
# (bench/mca_unit_of_work.cpp: one FFT pair, four sweeps, 4096 samples, four multiplies, one
# decomposition): qemu counts how often each straight run of instructions of the kernel ran, and
# llvm-mca gives each run (with those that follow it equally often) its cycles as if it ran alone
# over and over. The estimate leaves out memory, mispredicted branches and the overlap of one run
# with a different one.
#
#   bench/llvm_mca_estimates.sh [CPU...]   (default: neoverse-n1 neoverse-v1)
#   MCA_BEFORE=REV bench/llvm_mca_estimates.sh   adds the NEON kernels as git revision REV had
#                                                the fast sources (the rest of the tree, the SIMD
#                                                layer too, as it is now) and what the fast
#                                                sources since then gained on them
#   MCA_FFT_POINTS=N ...                         the FFT's length for a whole call (default 1024)
# Needs g++-aarch64-linux-gnu with its static C library, llvm (llvm-mca-14, or LLVM_MCA=...) and
# for a whole call qemu-user.
set -euo pipefail
source_dir="$(cd "$(dirname "$0")/.." && pwd)"
cxx="${CXX_AARCH64:-aarch64-linux-gnu-g++}"
mca="${LLVM_MCA:-llvm-mca-14}"
cpus=("$@")
[ ${#cpus[@]} -gt 0 ] || cpus=(neoverse-n1 neoverse-v1)
command -v "$cxx" >/dev/null || { echo "$cxx is missing (g++-aarch64-linux-gnu)"; exit 1; }
command -v "$mca" >/dev/null || { echo "$mca is missing (llvm)"; exit 1; }
qemu=$(command -v qemu-aarch64 || true)
[ -n "$qemu" ] || echo "qemu-aarch64 is missing (qemu-user): no estimates of a whole call"
# MCA_KEEP=DIR keeps the assembly and the loops there.
if [ -n "${MCA_KEEP:-}" ]; then
  mkdir -p "$MCA_KEEP"
  work="$MCA_KEEP"
else
  work=$(mktemp -d)
  trap 'rm -rf "$work"' EXIT
fi
before="${MCA_BEFORE:-}"
# MCA_FFT_POINTS=N: the FFT's length for the estimate of a whole call (1048576 is -large's).
fft_points="${MCA_FFT_POINTS:-1024}"
forms=(plain neon)
if [ -n "$before" ]; then
  git -C "$source_dir" rev-parse --verify --quiet "$before^{commit}" >/dev/null ||
    { echo "MCA_BEFORE=$before is not a revision of $source_dir"; exit 1; }
  forms=(plain before neon)
  # Only the fast sources come from the revision: the headers they include resolve to this tree.
  mkdir -p "$work/before/kernels"
fi

# loops_of ASSEMBLY DIR FUNCTIONS: every loop of the functions whose (mangled) names match
# FUNCTIONS, the loops nested in it left out, to DIR/N (its label, then its instructions); prints
# "N NESTED OPERATIONS INSTRUCTIONS FUNCTION" per loop.
loops_of() {
  awk -v dir="$2" -v functions="$3" '
    { line[NR] = $0 }
    /^\.L[0-9A-Za-z_]+:/ { label[substr($1, 1, length($1) - 1)] = NR }
    /^[ \t]+\.type[ \t].*%function/ { split($2, f, ","); current = f[1] }
    # A branch back to a label opens a loop.
    /^[ \t]+(b|b\.[a-z]+|b(eq|ne|cs|hs|cc|lo|mi|pl|vs|vc|hi|ls|ge|lt|gt|le)|cbn?z|tbn?z)[ \t]/ {
      target = $NF
      if (target in label && label[target] < NR && current ~ functions) {
        loops++; start[loops] = label[target]; end[loops] = NR; fn[loops] = current
      }
    }
    END {
      for (i = 1; i <= loops; i++) {
        nested = 0
        for (k = start[i] + 1; k <= end[i]; k++) own[k] = 1
        for (j = 1; j <= loops; j++)
          if (j != i && start[j] >= start[i] && end[j] <= end[i] && (start[j] > start[i] || end[j] < end[i])) {
            nested = 1
            for (k = start[j]; k <= end[j]; k++) own[k] = 0
          }
        ops = 0; count = 0
        print line[start[i]] > (dir "/" i)
        for (k = start[i] + 1; k <= end[i]; k++) {
          if (!own[k] || line[k] !~ /^[ \t]+[a-z]/ || line[k] ~ /^[ \t]+\./) continue
          print line[k] > (dir "/" i)
          count++
          if (line[k] ~ /^[ \t]+f(add|sub|mul|div)[ \t]/) ops += line[k] ~ /\.2d/ ? 2 : 1
        }
        close(dir "/" i)
        print i, nested, ops, count, fn[i]
        delete own
      }
    }' "$1"
}

# hot_loop TABLE: of the loops loops_of printed, the one with the most floating-point operations
# (then the most instructions), innermost loops first: a kernel whose inner loops hold no
# arithmetic (the rare cases of a wavefront) has its hot loop among the others, taken without
# the loops nested in it. Prints "N FUNCTION OPERATIONS INSTRUCTIONS".
hot_loop() {
  awk '
    { n[NR] = $1; nested[NR] = $2; ops[NR] = $3; count[NR] = $4; fn[NR] = $5 }
    END {
      for (pass = 1; pass <= 2 && best == 0; pass++)
        for (i = 1; i <= NR; i++)
          if ((pass == 2 || !nested[i]) && ops[i] > 0 &&
              (ops[i] > ops[best] || (ops[i] == ops[best] && count[i] > count[best])))
            best = i
      if (best == 0) exit 1
      print n[best], fn[best], ops[best], count[best]
    }' "$1"
}

# blocks_of ASSEMBLY DIR FUNCTIONS: every straight run of instructions of the functions whose
# (mangled) names match FUNCTIONS (from a label or a branch to the next) to DIR/block.N, and the
# assembly to DIR/marked.s with a label mca_block_N on the first instruction of block N; prints
# "N OPERATIONS INSTRUCTIONS FUNCTION" per block (FUNCTION: the function's number).
blocks_of() {
  awk -v dir="$2" -v functions="$3" '
    function flush() { if (n > 0 && size[n] > 0) close(dir "/block." n) }
    /^[ \t]+\.type[ \t].*%function/ { split($2, f, ","); current = f[1]; open = 0; functions_seen++ }
    /^\.L[0-9A-Za-z_]+:/ || /^[_A-Za-z][_A-Za-z0-9.]*:/ { open = 0 }
    /^[ \t]+[a-z]/ && !/^[ \t]+\./ && current ~ functions {
      if (!open) {
        flush(); n++; size[n] = 0; ops[n] = 0; in_function[n] = functions_seen; open = 1
        print "mca_block_" n ":" > (dir "/marked.s")
      }
      print > (dir "/block." n)
      size[n]++
      if ($1 ~ /^f(add|sub|mul|div)$/) ops[n] += $2 ~ /\.2d/ ? 2 : 1
      if ($1 ~ /^(b|b\..*|b(eq|ne|cs|hs|cc|lo|mi|pl|vs|vc|hi|ls|ge|lt|gt|le)|bl|blr|br|ret|cbn?z|tbn?z)$/) open = 0
    }
    { print > (dir "/marked.s") }
    END { for (i = 1; i <= n; i++) print i, ops[i], size[i], in_function[i] }' "$1"
}

# block_runs DIR UNIT: runs UNIT (mca_unit_of_work built on DIR/marked.s) once under qemu and
# prints "N RUNS" for every block that ran, then "total OPERATIONS INSTRUCTIONS": the
# floating-point operations and the instructions that the NEON functions executed in all.
block_runs() {
  local log="$1/qemu.log" pid status=0
  # The log of a long FFT runs to gigabytes: it is read as it is written.
  rm -f "$log"
  mkfifo "$log"
  "$qemu" -d in_asm,exec,nochain -D "$log" "$2" "$fft_points" &
  pid=$!
  # Addresses as qemu and nm print them: hexadecimal without 0x and leading zeros.
  nm "$2" | awk '$3 ~ /^mca_block_[0-9]+$/ { a = $1; sub(/^0+/, "", a); print "block", substr($3, 11), a }' |
    cat - "$log" | awk -v neon="^_ZN8kalvento4neon" '
      function address(text) { sub(/^0x/, "", text); sub(/:$/, "", text); sub(/^0+/, "", text); return text }
      $1 == "block" { block_at[$3] = $2; next }
      # A translated block of qemu: its name, then its instructions.
      /^IN:/ { tb = ""; in_neon = $2 ~ neon; next }
      /^0x[0-9a-f]+:/ {
        a = address($1)
        if (tb == "") { tb = a; size[tb] = 0; ops[tb] = 0; neon_tb[tb] = in_neon }
        at[tb, ++size[tb]] = a
        if ($3 ~ /^f(add|sub|mul|div)$/) ops[tb] += $4 ~ /\.2d/ ? 2 : 1
        next
      }
      # One run of a translated block; without chaining every run is logged.
      /^Trace/ { split($4, f, "/"); runs[address(f[2])]++ }
      END {
        for (tb in runs) {
          if (!(tb in size)) continue
          for (i = 1; i <= size[tb]; i++)
            if (at[tb, i] in block_at) ran[block_at[at[tb, i]]] += runs[tb]
          if (neon_tb[tb]) { total_ops += runs[tb] * ops[tb]; total_instructions += runs[tb] * size[tb] }
        }
        for (n in ran) print n, ran[n]
        print "total", total_ops + 0, total_instructions + 0
      }'
  wait "$pid" || status=$?
  rm -f "$log"
  return "$status"
}

# call_estimate KERNEL FORM: a call of the fast kernel of FORM at the default sizes, as
# the sum over its blocks of the runs qemu counts times llvm-mca's cycles per run of the block
# repeated alone; prints "CPU CYCLES OPERATIONS BLOCK_OPERATIONS BLOCK_INSTRUCTIONS INSTRUCTIONS"
# per CPU (the operations and instructions the blocks account for against all that ran).
call_estimate() {
  local blocks="$work/$1.$2.blocks" unit="$work/$1.$2.unit" plain_sources=(kernels/sparse.cpp)
  [ "$1" = sparse ] || plain_sources+=("kernels/$1.cpp")
  mkdir -p "$blocks"
  blocks_of "$work/$1.$2.s" "$blocks" "^_ZN8kalvento4neon" >"$blocks/table"
  # The plain sources for the fallbacks of the fast kernels and the sparse pattern; the sections
  # of everything else they hold are dropped.
  (cd "$source_dir" && "$cxx" -std=c++20 -O3 -ffp-contract=off -I. -DKALVENTO_FAST_NS=neon \
    -DKALVENTO_UNIT="$1" -ffunction-sections -static -Wl,--gc-sections -o "$unit" \
    "$blocks/marked.s" bench/mca_unit_of_work.cpp support/lagged_rng.cpp support/row_matrix.cpp \
    support/memory.cpp support/platform.cpp support/failure.cpp "${plain_sources[@]}")
  block_runs "$blocks" "$unit" >"$blocks/runs"
  # Blocks of a function that ran equally often one after the other, with none between them that
  # ran at all, are the parts of one path (a loop's body split by its rare exits): they are
  # estimated together, so that one may overlap the next.
  sort -n "$blocks/runs" | awk -v dir="$blocks" -v table="$blocks/table" '
    BEGIN { while ((getline <table) > 0) { ops[$1] = $2; count[$1] = $3; fn[$1] = $4 } }
    $1 == "total" { next }
    {
      if (!(groups && $2 == runs[groups] && fn[$1] == fn[last])) { groups++; runs[groups] = $2 }
      while ((getline instruction <(dir "/block." $1)) > 0) print instruction > (dir "/group." groups)
      close(dir "/block." $1)
      group_ops[groups] += ops[$1]; group_count[groups] += count[$1]; last = $1
    }
    END { for (g = 1; g <= groups; g++) print g, runs[g], group_ops[g], group_count[g] }' >"$blocks/groups"
  for cpu in "${cpus[@]}"; do
    while read -r g runs ops instructions; do
      cycles=$("$mca" -mtriple=aarch64 -mcpu="$cpu" -iterations=100 "$blocks/group.$g" 2>/dev/null |
        awk '/^Iterations:/ { it = $2 } /^Total Cycles:/ { c = $3 } END { printf "%.4f", c / it }')
      echo "$runs $cycles $ops $instructions"
    done <"$blocks/groups" |
      awk -v cpu="$cpu" -v runs="$blocks/runs" '
        BEGIN { while ((getline <runs) > 0) if ($1 == "total") { total_ops = $2; total_instructions = $3 } }
        { cycles += $1 * $2; block_ops += $1 * $3; block_instructions += $1 * $4 }
        END {
          printf "%s %.0f %d %d %d %d\n", cpu, cycles, total_ops, block_ops, block_instructions, total_instructions
        }'
  done
}

# compile SOURCE NAMESPACE OUT: the plain source as the core builds it, a fast one as NEON path.
compile() {
  "$cxx" -std=c++20 -O3 -ffp-contract=off -I"$source_dir" -DKALVENTO_FAST_NS="$2" \
    -DKALVENTO_FAST_PATH_NAME="\"$2\"" -S -o "$3" "$1"
}

printf '%-12s %-6s %-12s %-7s %-12s %-12s %s\n' kernel form cpu "ops/it" "cycles/it" "cycles/op" "hot loop"
# Each kernel with the plain function that does its work (the fast ones are all in kalvento::neon).
for kernel in fft:fft_core sor:sor_sweep monte_carlo:monte_carlo_pi sparse:csr_multiply \
  lu:lu_decompose; do
  plain_function="${kernel#*:}"
  kernel="${kernel%%:*}"
  declare -A per_op=() per_call=()
  for form in "${forms[@]}"; do
    source="$source_dir/kernels/$kernel.cpp"
    functions="^_ZN8kalvento4neon"
    case "$form" in
      plain) functions="^_ZN8kalvento[0-9]+$plain_function" ;;
      neon) source="$source_dir/kernels/${kernel}_fast.cpp" ;;
      before)
        source="$work/before/kernels/${kernel}_fast.cpp"
        git -C "$source_dir" show "$before:kernels/${kernel}_fast.cpp" >"$source"
        ;;
    esac
    compile "$source" neon "$work/$kernel.$form.s"
    mkdir -p "$work/$kernel.$form.loops"
    loops_of "$work/$kernel.$form.s" "$work/$kernel.$form.loops" "$functions" >"$work/$kernel.$form.table"
    read -r loop function ops instructions < <(hot_loop "$work/$kernel.$form.table") ||
      { echo "$kernel $form: no loop with floating-point arithmetic"; continue; }
    cp "$work/$kernel.$form.loops/$loop" "$work/$kernel.$form.loop"
    function=$(echo "$function" | c++filt | cut -c1-60)
    for cpu in "${cpus[@]}"; do
      cycles=$("$mca" -mtriple=aarch64 -mcpu="$cpu" -iterations=1000 "$work/$kernel.$form.loop" 2>/dev/null |
        awk '/^Iterations:/ { it = $2 } /^Total Cycles:/ { c = $3 } END { printf "%.2f", c / it }')
      per_op[$cpu.$form]=$(awk -v c="$cycles" -v o="$ops" 'BEGIN { printf "%.3f", c / o }')
      printf '%-12s %-6s %-12s %-7s %-12s %-12s %s (%s instructions)\n' "$kernel" "$form" "$cpu" "$ops" \
        "$cycles" "${per_op[$cpu.$form]}" "$function" "$instructions"
    done
    if [ "$form" = plain ] || [ -z "$qemu" ]; then continue; fi
    while read -r cpu cycles ops block_ops block_instructions instructions; do
      per_call[$cpu.$form]=$cycles
      awk -v k="$kernel" -v f="$form" -v c="$cpu" -v cycles="$cycles" -v ops="$ops" -v bo="$block_ops" \
        -v bi="$block_instructions" -v i="$instructions" 'BEGIN {
          printf "%-12s %-6s %-12s whole call: %d cycles, %d operations, %.3f cycles/op", k, f, c,
            cycles, ops, cycles / ops
          printf " (the blocks modelled: %.2f %% of its operations, %.2f %% of its instructions)\n",
            100 * bo / ops, 100 * bi / i
        }'
    done < <(call_estimate "$kernel" "$form")
    [ -n "${per_call[${cpus[0]}.$form]:-}" ] || echo "$kernel $form: no estimate of a whole call"
  done
  for cpu in "${cpus[@]}"; do
    neon="${per_op[$cpu.neon]:-}"
    [ -n "$neon" ] || continue
    if [ -n "${per_op[$cpu.plain]:-}" ]; then
      awk -v k="$kernel" -v c="$cpu" -v p="${per_op[$cpu.plain]}" -v n="$neon" \
        'BEGIN { printf "%-12s ratio  %-12s plain/neon cycles per operation: %.2fx\n", k, c, p / n }'
    fi
    if [ -n "${per_op[$cpu.before]:-}" ]; then
      awk -v k="$kernel" -v c="$cpu" -v b="${per_op[$cpu.before]}" -v n="$neon" \
        'BEGIN { printf "%-12s gain   %-12s before/neon cycles per operation: %.2fx\n", k, c, b / n }'
    fi
    if [ -n "${per_call[$cpu.before]:-}" ] && [ -n "${per_call[$cpu.neon]:-}" ]; then
      awk -v k="$kernel" -v c="$cpu" -v b="${per_call[$cpu.before]}" -v n="${per_call[$cpu.neon]}" \
        'BEGIN { printf "%-12s gain   %-12s before/neon cycles per call: %.3fx\n", k, c, b / n }'
    fi
  done
  unset per_op per_call
done
