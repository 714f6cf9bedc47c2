# Measurement helpers of the benchmarks, sourced by bench/run and bench/hostile-timings.sh.
#
# The floor for a program that must look at every byte of its input and write a copy of it is a
# copy through user space: dd with blocks of 256 KiB. (cp copies inside the kernel, which no such
# program can do.) Every ratio is taken against dd on the same file in the same run, the runs
# interleaved so that both see the same load.

# Runs a command once with its output thrown away; sets `ms` (wall), `cpu` (user and system ms of
# the command and of the tools that run it, which take well under a millisecond), `kb` (peak
# resident set of the command itself, GNU time's %M), `rc`. $limit bounds the run at twice that
# many seconds. On a machine shared with other work the wall time includes the waits for a core;
# the processor time does not.
timed() {
  local start end
  start=$(date +%s%N)
  # The subshell's `times` gives its children's processor time to the millisecond.
  (
    rc=0
    timeout "$((${limit:-60} * 2))" /usr/bin/time -f %M -o rss.txt "$@" >/dev/null 2>err.txt ||
      rc=$?
    echo "$rc" >rc.txt
    times >times.txt
  )
  end=$(date +%s%N)
  ms=$(((end - start) / 1000000))
  rc=$(cat rc.txt)
  cpu=$(awk 'NR == 2 {
    split($1, u, /[ms]/); split($2, s, /[ms]/)
    printf "%d", (u[1] * 60 + u[2] + s[1] * 60 + s[2]) * 1000 + 0.5 }' times.txt)
  kb=$(tail -n 1 rss.txt 2>/dev/null || echo 0)
  [[ $kb =~ ^[0-9]+$ ]] || kb=0
}

# Copies $1 to copy.mid as the floor does; sets what timed sets.
timed_dd() {
  rm -f copy.mid
  timed dd if="$1" of=copy.mid bs=256k status=none
  rm -f copy.mid
}

median() { printf '%s\n' "$@" | sort -n | awk '{v[NR] = $1} END {print v[int((NR + 1) / 2)]}'; }
maximum() { printf '%s\n' "$@" | sort -n | tail -n 1; }
secs() { awk -v ms="$1" 'BEGIN {printf "%.2f", ms / 1000}'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN {if (b <= 0) b = 1; printf "%.1f", a / b}'; }
mib() { awk -v b="$1" 'BEGIN {printf "%.1f", b / 1048576}'; }
rate() { awk -v b="$1" -v ms="$2" 'BEGIN {if (ms <= 0) ms = 1; printf "%.0f", b / 1048576 / (ms / 1000)}'; }

# Needs GNU time for the peak memory; as root on Debian it is installed when missing.
need_gnu_time() {
  if [ ! -x /usr/bin/time ] && [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null; then
    echo "installing time" >&2
    apt-get update -qq >&2 && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq time >&2 || true
  fi
  if [ ! -x /usr/bin/time ]; then
    echo "$0 needs GNU time (/usr/bin/time) for peak memory" >&2
    exit 1
  fi
}

# The seqmend to measure: $1, or the bench preset built in build-bench of the checkout $root.
# Prints its absolute path.
bench_binary() {
  local binary=${1:-}
  if [ -z "$binary" ]; then
    echo "building seqmend and eolmend (preset bench) in build-bench" >&2
    cmake -S "$root" --preset bench >/dev/null
    cmake --build "$root/build-bench" -j2 --target seqmend eolmend seqmend_memory_bench >/dev/null
    binary="$root/build-bench/seqmend"
  fi
  echo "$(cd "$(dirname "$binary")" && pwd)/$(basename "$binary")"
}

# The machine and its load, for the head of a table.
machine_line() {
  echo "machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ *//'); load average at start $(cut -d' ' -f1-3 /proc/loadavg)"
}
