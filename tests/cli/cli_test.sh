#!/usr/bin/env bash
# seqmend end to end: what it prints on stdout and on stderr, its exit status and the files it
# leaves, each case in a fresh folder (tests/support/harness.sh).
#
# usage: cli_test.sh SEQMEND [CORPUS]    (CORPUS: a folder of real MIDI files with a MANIFEST.md)
set -u

[ $# -ge 1 ] || { echo "usage: $0 SEQMEND [CORPUS]" >&2; exit 2; }
PROGRAM=$(realpath "$1")
CORPUS=$([ -z "${2:-}" ] || realpath "$2")
source "$(dirname "$0")/../support/harness.sh"

HEAD=$(chunk MThd 0001 0002 01E0)  # format 1, two tracks
TRACK1=$(chunk MTrk "$(notes 4)" "$EOT")
SOUND="$HEAD $TRACK1 $(chunk MTrk "$(notes 2)" "$EOT")"
JUNK='55 55 55 55 55 55 55 55 55 55'  # in front of a file: dropping it is the only repair, silent
DAMAGED="$JUNK $SOUND"
NOEND="$HEAD $TRACK1 $(chunk MTrk "$(notes 2)")"  # the last track lost its end of track
# A header of 8 bytes is sound, but not in the normal form, which -n writes.
LONG_HEADER="$(chunk MThd 0001 0002 01E0 ABCD) ${SOUND#"$HEAD "}"
# More than the 1 KiB that `fsize=1 run` lets a file grow to. Repairing the second rewrites the
# track's length, so the last thing done to the output before closing it is a seek.
BIG_DAMAGED="$JUNK $FORMAT0 $(chunk MTrk "$(notes 150)" "$EOT")"
BIG_NOEND="$FORMAT0 $(chunk MTrk "$(notes 150)")"

USAGE='This program is a Win32 DOS commandline utility.\nIt requires knowledge in using DOS command line.\nseqmend checks a Standard MIDI File for damage and writes a repaired copy.\n\nusage: seqmend [-tracksonly] filename.mid [result.mid]\n-tracksonly\tcheck and repair only track headers\nif output filename is not given and changes are necessary then\noutput will be written to seqmend.mid\n'
HINT='if the results are not sufficient then try eolmend,\nbecause this file might contain cr/lf problems\n'
EOT_ADDED='in.mid: Missing end of track added.\n'

# unmoved NAME SETUP INPUT STATUS STDOUT STDERR ARGS...: a run that leaves the folder as it was.
# INPUT (if any) is written to the file the first argument names, beside an earlier default
# output; a setup that cannot be made here skips the case.
unmoved() {
  start "$1"
  put seqmend.mid "$(hex 'an earlier output')"
  eval "$2" || { skip "cannot set up $2"; return; }
  [ -z "$3" ] || put "$7" "$3"
  run "${@:7}"
  expect "$4" "$5" "$6"
  unchanged
}

# ---- The command line ----

# Without a file name: the banner alone or one for each -v, a report for each unknown option,
# then the usage. The first two letters name an option.
start "no arguments"
run
BANNER="$(head -n 1 ../stdout)\n"
grep -qxE 'seqmend v1\.16 \((Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) [1-9][0-9]? [0-9]{4}\)' \
  <(head -n 1 ../stdout) || fail "banner: $(head -n 1 ../stdout)"
expect 1 "$BANNER$USAGE" ''; files ''
start "options"; run -vx -Q -version - -q -T -tracks -quiet
expect 1 "$BANNER$BANNER$USAGE" 'Invalid option -Q.\nInvalid option -.\nInvalid option -T.\n'
files ''

for args in seqmend.mid SEQMEND.MID 'seqmend.mid Seqmend.Mid x.mid'; do
  unmoved "input named like the default output: $args" 'put SEQMEND.MID "$DAMAGED"' '' 1 \
    'Cannot write to seqmend.mid. Must specify alternate outputname!\n' '' $args
done

# Where options end and which names are taken: repairs OUTPUT STDOUT STDERR ARGS...
repairs() {
  start "names: ${*:4}"
  put in.mid "$DAMAGED"
  run "${@:4}"
  expect 0 "$2" "$3"
  files "$(printf '%s\n' in.mid "$1" | sort | paste -sd' ')" "$1" "$SOUND"
}
repairs seqmend.mid "$(fixed in.mid seqmend.mid)" '' in.mid
repairs out.mid "$(fixed in.mid out.mid)" '' -q in.mid out.mid ignored.mid
repairs -quiet "$(fixed in.mid -quiet)" '' in.mid -quiet
repairs out.mid "$(fixed in.mid out.mid)" 'Invalid option -x.\n' -tracksonly -x in.mid out.mid
repairs seqmend.mid "${BANNER}Cannot change input file. Write output to seqmend.mid!\n$(fixed in.mid seqmend.mid)" \
  '' -version in.mid IN.MID

# ---- Verdicts ----

# verdict NAME INPUT STATUS STDOUT [OPTION...]: a stale out.mid, longer than any repaired file,
# is truncated, then kept only as the repaired file.
verdict() {
  start "$1"
  put in.mid "$2"
  { printf 'stale output'; bytes "$(printf 'AA%.0s' {1..200})"; } >out.mid
  run "${@:5}" in.mid out.mid
  expect "$3" "$4" ''
  if [[ $4 == *Fixed* ]]; then files 'in.mid out.mid' out.mid "$SOUND"; else files in.mid; fi
}
verdict sound "$SOUND" 0 'in.mid is ok.\n'
verdict "sound, quiet" "$SOUND" 0 '' -quietly
verdict "no MIDI data" '' 1 'in.mid: No midi data found.\n' -q
verdict repaired "$DAMAGED" 0 "$(fixed in.mid out.mid)"
verdict "repaired, CR LF after the start" "55 0D 0A $SOUND" 0 "$(fixed in.mid out.mid)$HINT"
verdict "repaired, CR LF at the start" "0D 0A 0D 0A $SOUND" 0 "$(fixed in.mid out.mid)"
verdict "-t copies the events unchecked" "$NOEND" 0 'in.mid is ok.\n' -t
verdict "a long header is sound" "$LONG_HEADER" 0 'in.mid is ok.\n'
verdict "-n writes the normal form" "$LONG_HEADER" 0 \
  "in.mid: remove surplus of header (2 bytes)\n$(fixed in.mid out.mid)" -n

# ---- Runs that leave the folder as it was: refusals before the engine runs, devices, extra
# files that may not be written (unmoved) ----

unmoved "missing input" : '' 1 '' 'nosuch.mid: No such file or directory\n' nosuch.mid
unmoved "input is a folder" 'mkdir dir.mid' '' 1 '' 'dir.mid: Is a directory\n' dir.mid
unmoved "input is a FIFO" 'mkfifo fifo.mid' '' 1 '' 'fifo.mid: Illegal seek\n' fifo.mid
unmoved "input of 2 GiB" 'truncate -s 2G big.mid' '' 1 'big.mid: file too large\n' '' big.mid
unmoved "output folder missing" : "$DAMAGED" 1 '' 'nodir/out.mid: No such file or directory\n' \
  in.mid nodir/out.mid
unmoved "output is a folder" 'mkdir dir' "$DAMAGED" 1 '' 'dir: Is a directory\n' in.mid dir
# The input under another name; the run's own standard streams (../stdout and ../stderr here),
# which would mix the repaired file with the messages or lose it.
LINKS='put in.mid "$DAMAGED" && mkdir sub && ln in.mid hard.mid && ln -s in.mid soft.mid'
for out in ./in.mid sub/../in.mid hard.mid soft.mid ../stdout ../stderr; do
  unmoved "output is $out" "$LINKS" '' 1 '' "$out: Permission denied\n" in.mid "$out"
done
unmoved "output is a FIFO" 'mkfifo fifo' "$DAMAGED" 1 '' 'fifo: Illegal seek\n' in.mid fifo
unmoved "output is a socket" \
  'python3 -c "import socket; socket.socket(socket.AF_UNIX).bind(\"sock\")"' "$DAMAGED" 1 '' \
  'sock: Illegal seek\n' in.mid sock

# Devices are written in place, never removed. A null device makes a check-only run, a full one
# a run that must not claim success; one that cannot seek (the FUSE control device opens for
# anyone allowed to and has no file positions) is refused.
DEVICES='device null 1 3 && device full 1 7'
unmoved "repaired into the null device" "$DEVICES" "$DAMAGED" 0 "$(fixed bad.mid null)" '' \
  bad.mid null
unmoved "repaired onto a full device" "$DEVICES" "$DAMAGED" 1 '' \
  'full: No space left on device\n' bad.mid full
unmoved "end of track added onto a full device" "$DEVICES" "$NOEND" 1 \
  'noend.mid: Missing end of track added.\n' 'full: No space left on device\n' noend.mid full
unmoved "sound onto a full device" "$DEVICES" "$SOUND" 0 'sound.mid is ok.\n' '' sound.mid full
unmoved "the null device as input" "$DEVICES" '' 1 'null: No midi data found.\n' '' null out.mid
unmoved "output without positions" 'device noseek 10 229' "$DAMAGED" 1 '' \
  'noseek: Illegal seek\n' in.mid noseek
unmoved "input without positions" 'device noseek 10 229' '' 1 '' 'noseek: Illegal seek\n' noseek

start "null device as output and standard output: a check that loses nothing"
put in.mid "$DAMAGED"
"${WRAPPER[@]}" "$PROGRAM" in.mid /dev/null >/dev/null 2>../stderr || fail "exit status $?"
same_text stderr ''

# Extra files: never the input, the output, a FIFO, a device or what takes the messages; never
# cut short.
SECOND="$(chunk MThd 0000 0001 0060) $(chunk MTrk "$(notes 1)" "$EOT")"
LARGE="$(chunk MThd 0001 0001 00F0) $(chunk MTrk "$(notes 200)" "$EOT")"
EXTRA1=': Extra midi file found. Written to extra1.mid\n'
for args in 'extra1.mid out.mid' 'in.mid extra1.mid'; do
  unmoved "extra file refused: $args" : "$SOUND $SECOND" 1 "${args%% *}$EXTRA1" \
    'extra1.mid: Permission denied\n' $args
done
for setup in 'mkfifo extra1.mid' 'device extra1.mid 1 7' 'ln -s ../stdout extra1.mid'; do
  unmoved "extra file refused: $setup" "$setup" "$SOUND $SECOND" 1 "in.mid$EXTRA1" \
    'extra1.mid: Permission denied\n' in.mid out.mid
done

start "extra file cut short by a full disk"; put in.mid "$SOUND $SECOND $LARGE"; fsize=1 run in.mid
expect 1 "in.mid${EXTRA1}in.mid${EXTRA1/1/2}" 'extra2.mid: File too large\n'
files 'extra1.mid in.mid' extra1.mid "$SECOND"

# ---- A full disk: a regular output not written whole is reported and removed, without a
# verdict, also when the failed write was met in a seek and closing the file went well. ----

start "full disk"; put in.mid "$BIG_DAMAGED"; fsize=1 run in.mid out.mid
expect 1 '' 'out.mid: File too large\n'; files in.mid
start "full disk, output finished by a seek"; put in.mid "$BIG_NOEND"; fsize=1 run in.mid out.mid
expect 1 "$EOT_ADDED" 'out.mid: File too large\n'; files in.mid

# ---- Real files: none makes the tool fail but with a report; every file the manifest calls valid
# comes back "is ok" untouched, and every repaired output comes back "is ok" too. ----

# ends_ok NAME: exit status 0, nothing on stderr, the verdict "NAME is ok." after any warnings
ends_ok() { expect 0 "$(sed '$d' ../stdout | sed 's/$/\\n/' | tr -d '\n')$1 is ok.\n" ''; }

corpus() {
  local valid file
  valid=$(awk -F'|' '/^## / { folder = $0; sub(/^## /, "", folder); sub(/ .*/, "", folder) }
    /^\|/ && $4 ~ /^ *valid / { gsub(/ /, "", $2); print folder $2 }' "$CORPUS/MANIFEST.md")
  [ -n "$valid" ] || fail "no valid files in the manifest"
  while IFS= read -r file; do
    start "corpus: $file"
    cp "$CORPUS/$file" in.mid && sha256sum in.mid >>../sums
    run in.mid
    case $status in 0 | 1) ;; *) fail "exit status $status" ;; esac
    if grep -qxF "$file" <<<"$valid"; then
      ends_ok in.mid
    elif [ -f seqmend.mid ]; then
      run seqmend.mid out.mid
      ends_ok seqmend.mid
    fi
  done < <(cd "$CORPUS" && find . -type f ! -name MANIFEST.md -printf '%P\n' | sort)
}
if [ -d "$CORPUS" ]; then corpus; fi

finish_all
