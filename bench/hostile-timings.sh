#!/usr/bin/env bash
# Timings of seqmend on large hostile inputs: every one must finish, none may take long. Prints
# the wall and CPU time of each run; nothing here is a pass or fail threshold.
#
# usage: bench/hostile-timings.sh [path to seqmend]   (default: the bench preset in build-bench)
# The inputs are written by bench/make_hostile.py.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
seqmend=${1:-}
if [ -z "$seqmend" ]; then
  cmake -S "$root" --preset bench >/dev/null
  cmake --build "$root/build-bench" -j2 --target seqmend >/dev/null
  seqmend="$root/build-bench/seqmend"
fi
seqmend=$(cd "$(dirname "$seqmend")" && pwd)/$(basename "$seqmend")

work=$(mktemp -d "${TMPDIR:-/tmp}/seqmend-bench-XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"

names=$(python3 "$root/bench/make_hostile.py" .)
mapfile -t inputs <<<"$names"

python3 - "$seqmend" "${inputs[@]}" <<'PY'
import os, resource, subprocess, sys, time

for name in sys.argv[2:]:
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    start = time.perf_counter()
    run = subprocess.run([sys.argv[1], name, "out.mid"], capture_output=True)
    wall = time.perf_counter() - start
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    lines = (run.stdout.count(b"\n"), run.stderr.count(b"\n"))
    cpu = after.ru_utime + after.ru_stime - before.ru_utime - before.ru_stime
    print(f"{name:27} {os.path.getsize(name):9d} bytes {wall:7.2f} s wall {cpu:7.2f} s cpu "
          f"{after.ru_maxrss:7d} KB max rss  exit {run.returncode}  "
          f"{lines[0]} lines out, {lines[1]} err")
    for leftover in ["out.mid"] + [f for f in os.listdir(".") if f.startswith("extra")]:
        if os.path.exists(leftover):
            os.remove(leftover)
PY
