#!/usr/bin/env bash
# Timings of seqmend on large hostile inputs, each beside dd of the same file (the floor, see
# bench/measure.sh), and of eolmend on the inputs named eolmend-* (eolmend from the same build
# folder): every one must finish, none may take long. Prints a markdown table of medians;
# nothing here is a pass or fail threshold.
#
# usage: bench/hostile-timings.sh [path to seqmend]   (default: the bench preset in build-bench)
# environment: BENCH_RUNS (runs of seqmend and dd per input, default 5).
# The inputs are written by bench/make_hostile.py into a scratch folder removed at the end.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/bench/measure.sh"
runs=${BENCH_RUNS:-5}
need_gnu_time
seqmend=$(bench_binary "${1:-}")

work=$(mktemp -d "${TMPDIR:-/tmp}/seqmend-bench-XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"
mapfile -t inputs < <(python3 "$root/bench/make_hostile.py" .)

machine_line
echo "medians of $runs runs; x dd is the ratio of medians of wall time, x dd cpu of processor time"
echo "(user and system); peak RSS is the largest of seqmend's runs"
echo
echo "| input | MiB | dd ms | program ms | x dd | dd cpu ms | program cpu ms | x dd cpu | peak RSS MiB | exit | lines out | lines err |"
echo "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|"
for file in "${inputs[@]}"; do
  program=$seqmend
  case $file in eolmend-*) program=$(dirname "$seqmend")/eolmend ;; esac
  dd_times=() our_times=() dd_cpus=() our_cpus=() our_kbs=()
  # A first run reads the input into the page cache for all that follow, and counts the messages.
  rc=0
  "$program" "$file" out.mid >messages.txt 2>errors.txt || rc=$?
  for ((i = 0; i < runs; i++)); do
    # Interleaved, so that both see the same load.
    timed_dd "$file"
    dd_times+=("$ms")
    dd_cpus+=("$cpu")
    rm -f out.mid extra*.mid
    timed "$program" "$file" out.mid
    our_times+=("$ms")
    our_cpus+=("$cpu")
    our_kbs+=("$kb")
  done
  rm -f out.mid extra*.mid
  dd_ms=$(median "${dd_times[@]}")
  our_ms=$(median "${our_times[@]}")
  dd_cpu=$(median "${dd_cpus[@]}")
  our_cpu=$(median "${our_cpus[@]}")
  echo "| $file | $(mib "$(stat -c %s "$file")") | $dd_ms | $our_ms | $(ratio "$our_ms" "$dd_ms") |" \
    "$dd_cpu | $our_cpu | $(ratio "$our_cpu" "$dd_cpu") |" \
    "$(mib "$(($(maximum "${our_kbs[@]}") * 1024))") | $rc | $(wc -l <messages.txt) |" \
    "$(wc -l <errors.txt) |"
done
echo
echo "load average at end $(cut -d' ' -f1-3 /proc/loadavg)"
