#!/usr/bin/env bash
# seqmend.exe under Wine beside the POSIX build. Every example, every file of the external corpus
# and every input of the whole-file repair and hostile tests goes through both (the examples also
# with -tracksonly), which must agree on the exit status, the messages (CR LF line ends on
# Windows), the repaired output and the extra files. Then what only Windows has: NUL, the console,
# other spellings of the input's name, standard output that cmd redirects onto the output.
# Given the two builds of seqmend-batch too: both over the same tree, whose reports, lines and
# copies must be equal apart from the paths of the copies and the times.
#
# usage: wine_test.sh SEQMEND SEQMEND_EXE SEQMEND_TESTS SOURCE_DIR [SEQMEND_BATCH SEQMEND_BATCH_EXE]
# SEQMEND_TESTS is the POSIX build of the unit tests, which gives the inputs of its file tests.
# The corpus is SOURCE_DIR/../shared/corpus-ext, or $SEQMEND_CORPUS. Wine runs without a display
# in $WINEPREFIX, or in a prefix of its own.
set -euo pipefail

[ $# -eq 4 ] || [ $# -eq 6 ] || { sed -n 's/^# usage: //p' "$0" >&2 && exit 2; }
seqmend=$(realpath "$1") exe=$(realpath "$2") unit_tests=$3 source=$4
batch=${5:+$(realpath "$5")} batch_exe=${6:+$(realpath "$6")}
corpus=${SEQMEND_CORPUS:-$source/../shared/corpus-ext}
w=$(mktemp -d "${TMPDIR:-/tmp}/seqmend-wine-XXXXXX")
# Wine reads the names on its command line as UTF-8; it needs neither .NET nor a browser here.
export WINEDEBUG=-all LC_ALL=C.UTF-8 WINEPREFIX=${WINEPREFIX:-$w/prefix} WINEDLLOVERRIDES='mscoree=;mshtml='
unset DISPLAY WAYLAND_DISPLAY
# One server for all the runs, which must not hold on to this script's output.
wineserver -p >/dev/null 2>&1 </dev/null || true
[ -d "$WINEPREFIX/drive_c" ] || wineboot -i >/dev/null 2>&1 </dev/null
trap 'wineserver -k 2>/dev/null || true; rm -rf "$w"' EXIT
compared=0 cases=0 failures=0
UNDATED='s/^(seqmend v[0-9.]+) \(.*\)/\1/' # the banner without the build date

fail() { echo "FAIL $*" && failures=$((failures + 1)); }

# setup [NAME SOURCE]...: the files each run starts with.
setup() {
  rm -rf "$w/setup" && mkdir "$w/setup"
  while [ $# -gt 0 ]; do cp "$2" "$w/setup/$1" && shift 2; done
}

# run SIDE COMMAND...: the command in a fresh copy of the setup; SIDE.out, .err and .status.
run() {
  local side=$1 status=0
  rm -rf "${w:?}/$side" && cp -a "$w/setup" "$w/$side"
  (cd "$w/$side" && "${@:2}" >"../$side.out" 2>"../$side.err") || status=$?
  echo "$status" >"$w/$side.status"
}

# Lines of text as Windows prints them, with CR LF.
lines() { printf '%s' "${1:+$1$'\n'}" | sed -E "$UNDATED; s/\$/\r/"; }

# Whether two files are the same: the size, then the first 16 MiB, which is all of every input
# but the sparse ones of several GiB.
same() { [ "$(stat -c %s "$1")" = "$(stat -c %s "$2" 2>/dev/null)" ] && cmp -s -n 16777216 "$1" "$2"; }

# expect LABEL STATUS STDOUT STDERR NAMES COMMAND...: the command run on Windows, where the texts
# are given with LF line ends and NAMES is what the folder holds (- for any); every file of the
# setup must be there unchanged.
expect() {
  local got=$w/windows
  run windows "${@:6}"
  cases=$((cases + 1))
  [ "$(<"$got.status")" = "$2" ] || fail "$1: exit status $(<"$got.status"), not $2"
  cmp -s <(lines "$3") <(sed -E "$UNDATED" "$got.out") || fail "$1: stdout $(head -c 300 "$got.out")"
  cmp -s <(lines "$4") "$got.err" || fail "$1: stderr $(<"$got.err")"
  [ "$5" = - ] || [ "$(ls -A "$got" | tr '\n' ' ')" = "$5 " ] || fail "$1: folder holds $(ls -A "$got")"
  for file in "$w"/setup/*; do
    [ ! -f "$file" ] || same "$file" "$got/${file##*/}" || fail "$1: ${file##*/} changed"
  done
}

# compare LABEL ARGS...: both builds on the same command line; they must agree in everything.
compare() {
  run linux "$seqmend" "${@:2}"
  expect "$1" "$(<"$w/linux.status")" "$(<"$w/linux.out")" "$(<"$w/linux.err")" - wine "$exe" "${@:2}"
  compared=$((compared + 1))
  diff -rq "$w/linux" "$w/windows" >"$w/diff" || fail "$1: $(<"$w/diff")"
}

# in_console COMMAND...: the command in a console of its own, as at a prompt.
in_console() {
  local status=0
  script -qec "$(printf '%q ' "$@") >$w/console.out 2>$w/console.err" /dev/null >/dev/null </dev/null ||
    status=$?
  cat "$w/console.out" && cat "$w/console.err" >&2 && return $status
}

# Self-contained: the only DLLs it needs are those of Windows itself.
for program in "$exe" $batch_exe; do
  dlls=$(x86_64-w64-mingw32-objdump -p "$program" | sed -n 's/^\s*DLL Name: //p' | tr '\n' ' ')
  [ "$dlls" = "KERNEL32.dll msvcrt.dll SHELL32.dll " ] || fail "${program##*/} needs $dlls"
done

# ---- Both builds on the same inputs ----

inputs=("$source"/examples/*.mid)
[ -d "$corpus" ] && mapfile -d '' -O ${#inputs[@]} inputs < <(find "$corpus" -type f ! -name MANIFEST.md -print0 | sort -z) ||
  echo "SKIP corpus: $corpus is absent"
mkdir "$w/tests"
SEQMEND_SAVE_INPUTS=$w/tests "$unit_tests" --gtest_filter='RepairFile.*Damage*:RepairFile.Hostile*' \
  >"$w/tests.log" || fail "unit tests: $(tail -20 "$w/tests.log")"
inputs+=("$w"/tests/*.mid)
for input in "${inputs[@]}"; do
  setup in.mid "$input"
  compare "${input##*/}" in.mid
  [[ $input != "$source"/examples/* ]] || compare "${input##*/} -tracksonly" -tracksonly in.mid
done
# Names outside every ANSI code page, in the messages and in the folder.
damaged=$source/examples/damaged.mid sound=$source/examples/sound.mid
setup 'Ωmega-日本.mid' "$damaged"
compare 'non-ASCII names' 'Ωmega-日本.mid' 'ß-out.mid'
# Sizes are measured with 64 bits: 4 GiB and 100 bytes is no 100-byte file. The inputs are sparse.
for size in 2147483648 4294967396; do
  setup && truncate -s "$size" "$w/setup/in.mid" && run linux "$seqmend" in.mid
  expect "input of $size bytes" 1 "$(<"$w/linux.out")" '' in.mid wine "$exe" in.mid
done

# ---- Windows only, then both builds on the command lines of these files ----

setup in.mid "$damaged" sound.mid "$sound"
run linux "$seqmend" in.mid /dev/null
expect 'NUL is written, never removed' 0 "$(sed 's#/dev/null$#NUL#' "$w/linux.out")" '' \
  'in.mid sound.mid' wine "$exe" in.mid NUL
expect 'nul.mid is NUL too' 0 'sound.mid is ok.' '' 'in.mid sound.mid' wine "$exe" sound.mid nul.mid
# The console as the output and as the input.
# shellcheck disable=SC2086 # $args is split into its words, which hold no wildcards
for args in 'in.mid CON' 'in.mid CONOUT$' CON; do
  expect "$args" 1 '' "${args#* }: Illegal seek" 'in.mid sound.mid' in_console wine "$exe" $args
done
# Wildcards are not expanded: the second match would be taken for the output.
expect 'wildcards' 1 '' '*.mid: Invalid argument' 'in.mid sound.mid' wine "$exe" '*.mid'

mkdir "$w/setup/sub"
# shellcheck disable=SC2086 # as above
for args in '' '-v' '-x -v in.mid' '-q sound.mid' 'in.mid IN.MID' 'seqmend.mid' 'SEQMEND.MID' \
  'nope.mid' 'sub' 'in.mid sub' 'in.mid -quiet third.mid' 'sound.mid sub/in.mid'; do
  compare "seqmend $args" $args
done

# The input under other spellings, which the name comparison of the command line lets pass: a
# path, another letter case (also outside ASCII), a hard link, the 8.3 name.
ln "$w/setup/in.mid" "$w/setup/hard.mid"
tee "$w/setup/a long name.midi" >"$w/setup/ω.mid" <"$damaged"
short=$(cd "$w/setup" && winepath -s 'a long name.midi')
[ "$short" != 'a long name.midi' ] || { echo "SKIP 8.3 names: Wine gives none" && short=; }
for pair in 'in.mid/.\IN.MID' 'in.mid/sub\..\In.Mid' "in.mid/Z:${w//\//\\}\\windows\\IN.mid" \
  in.mid/hard.mid ω.mid/Ω.MID ${short:+"a long name.midi/$short"}; do
  expect "${pair#*/}" 1 '' "${pair#*/}: Permission denied" 'a long name.midi hard.mid in.mid sound.mid sub ω.mid' \
    wine "$exe" "${pair%%/*}" "${pair#*/}"
done

setup in.mid "$damaged"
expect 'standard output is the output' 1 '' 'out.mid: Permission denied' 'in.mid out.mid' \
  wine cmd /c "Z:${exe//\//\\} in.mid out.mid >out.mid"

# ---- seqmend-batch: both builds over the same tree ----

# batch_rows: the rows of a report or the lines of a run sorted, without times.
batch_rows() { sed -E 's/,"ms":[0-9.e+-]+//' | sort; }

# batch_compare ARGS...: both builds on the setup with ARGS --report r.jsonl in; they must agree
# in all but the times, and leave the same files.
batch_compare() {
  run linux "$batch" "$@" --report r.jsonl in
  run windows wine "$batch_exe" "$@" --report r.jsonl in
  cases=$((cases + 1)) compared=$((compared + 1))
  tr -d '\r' <"$w/windows.out" >"$w/windows.lines" && cp "$w/linux.out" "$w/linux.lines"
  for file in .status /r.jsonl .lines; do
    diff <(batch_rows <"$w/linux$file") <(batch_rows <"$w/windows$file") >"$w/diff" || fail "batch $*: $file differs: $(head -5 "$w/diff")"
  done
  diff -r -x r.jsonl "$w/linux" "$w/windows" >"$w/diff" || fail "batch $*: files differ: $(head -5 "$w/diff")"
}

if [ -n "$batch_exe" ]; then
  setup && mkdir -p "$w/setup/in/Ωmega-日本"
  cp -r "$source/examples" "$w/setup/in/examples"
  cp "$damaged" "$w/setup/in/Ωmega-日本/ß.MID"
  [ ! -d "$corpus" ] || cp -r "$corpus" "$w/setup/in/corpus"
  batch_compare --out out --copy-sound
  batch_compare --check --all-files -j 1
  # A report cut short in its last line and resumed ends with all the rows.
  head -c "$(($(stat -c %s "$w/windows/r.jsonl") / 2))" "$w/windows/r.jsonl" >"$w/windows/half.jsonl"
  (cd "$w/windows" && wine "$batch_exe" --check --all-files --resume --report half.jsonl in >/dev/null 2>&1) || true
  cmp -s <(batch_rows <"$w/windows/half.jsonl") <(batch_rows <"$w/windows/r.jsonl") || fail "batch --resume: rows differ"
  expect 'batch --isolate refused' 2 '' "seqmend-batch: --isolate is not available on Windows
Try 'seqmend-batch --help' for more information." - wine "$batch_exe" --isolate --check in
fi

[ "$failures" -eq 0 ] || { echo "$failures failures in $cases runs" && exit 1; }
echo "${#inputs[@]} inputs; $compared runs compared, Linux and Windows identical; $((cases - compared)) Windows cases passed"
