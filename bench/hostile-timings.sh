#!/usr/bin/env bash
# Timings of seqmend on large hostile inputs: every one must finish, none may take long. Prints
# the wall and CPU time of each run; nothing here is a pass or fail threshold.
#
# usage: bench/hostile-timings.sh [path to seqmend]   (default: builds build-bench-hostile)
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
seqmend=${1:-}
if [ -z "$seqmend" ]; then
  cmake -B "$root/build-bench-hostile" -S "$root" -DCMAKE_BUILD_TYPE=Release -DSEQMEND_TESTS=OFF \
    >/dev/null
  cmake --build "$root/build-bench-hostile" -j2 --target seqmend >/dev/null
  seqmend="$root/build-bench-hostile/seqmend"
fi
seqmend=$(cd "$(dirname "$seqmend")" && pwd)/$(basename "$seqmend")

work=$(mktemp -d "${TMPDIR:-/tmp}/seqmend-bench-XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"

python3 - <<'PY'
import random, struct

SIZE = 10 * 1024 * 1024
rng = random.Random(5)

def header(fmt, tracks):
    return b"MThd" + struct.pack(">IHHH", 6, fmt, tracks, 480)

# 100-byte tracks: 8 bytes of chunk head, 22 note events of 4 bytes, the end of track.
events = b"".join(bytes([0x00, 0x90, 0x3C + i % 12, 0x40]) for i in range(22)) + b"\x00\xff\x2f\x00"
one_track = b"MTrk" + struct.pack(">I", len(events)) + events
with open("tracks-100-bytes.mid", "wb") as f:
    f.write(header(1, 0xFFFF) + one_track * (SIZE // len(one_track)))

# Garbage without any tag or end of track in it, then a format 0 header with untagged events.
garbage = bytes(rng.choice(range(0x01, 0x7F)) for _ in range(4096))
untagged = b"".join(bytes([0x10, 0x90, 0x3C + i % 12, 0x40]) for i in range(2000))
with open("garbage-then-untagged.mid", "wb") as f:
    f.write(garbage * (SIZE // len(garbage)) + header(0, 1) + untagged)

# A format 0 header followed by 10 MB of events that parse for 96 bytes and then fail: the worst
# case for the search for untagged track data.
near_miss = bytes([0x00, 0x90, 0x3C, 0x40]) * 24 + b"\x00\xf1\x00\x00"
with open("near-miss-untagged.mid", "wb") as f:
    f.write(header(0, 1) + near_miss * (SIZE // len(near_miss)))
PY

python3 - "$seqmend" <<'PY'
import os, resource, subprocess, sys, time

for name in ["tracks-100-bytes.mid", "garbage-then-untagged.mid", "near-miss-untagged.mid"]:
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
