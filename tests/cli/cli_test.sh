#!/usr/bin/env bash
# The built binary end to end: what it prints on stdout and on stderr, its exit status and the
# files it leaves. Each case runs in a fresh folder; every file a case writes with `put` is
# checked byte for byte (sha256) after every run, so no case can miss a damaged input.
# SEQMEND_TEST_WRAPPER, split at blanks, is put in front of the binary (valgrind, say); its exit
# status 99 means it found a fault.
#
# usage: cli_test.sh SEQMEND
set -u
export LC_ALL=C

[ $# -eq 1 ] || {
  echo "usage: $0 SEQMEND" >&2
  exit 2
}
SEQMEND=$(realpath "$1")
read -r -a WRAPPER <<<"${SEQMEND_TEST_WRAPPER:-}"
# Seconds a run may take: one that waits forever (on a FIFO, say) fails instead.
TIME_LIMIT=$([ ${#WRAPPER[@]} -eq 0 ] && echo 30 || echo 600)
top=$(mktemp -d "${TMPDIR:-/tmp}/seqmend-cli-XXXXXX")
trap 'cd /; chmod -R u+rwX "$top"; rm -rf "$top"' EXIT
passed=0 failed=0 skipped=0 cases=0 name='' problems=''

# ---- Bytes: hex pairs, blanks ignored ----

# bytes HEX...: the bytes themselves
bytes() { printf '%b' "$(printf '%s' "$*" | tr -d ' \n' | sed 's/../\\x&/g')"; }
hex() { printf '%s' "$1" | od -An -v -tx1 | tr -d ' \n'; }  # the characters of a text
# notes N: N times a note on C4 and its note off 96 ticks later
notes() { for ((i = 0; i < $1; i++)); do printf '00903C40 60803C00 '; done; }
# chunk TAG HEX...: the chunk, its length field counting the bytes given
chunk() {
  local tag=$1 body
  shift
  body=$(printf '%s' "$*" | tr -d ' ')
  printf '%s%08X%s' "$(hex "$tag")" $((${#body} / 2)) "$body"
}

EOT='00 FF 2F 00'                       # end of track
FORMAT0=$(chunk MThd 0000 0001 01E0)  # format 0, one track, 480 ticks per quarter
SOUND="$(chunk MThd 0001 0002 01E0) $(chunk MTrk "$(notes 4)" "$EOT") $(chunk MTrk "$(notes 2)" "$EOT")"
JUNK='55 55 55 55 55 55 55 55 55 55'  # in front of a file: dropping it is the only repair, silent
DAMAGED="$JUNK $SOUND"
NOEND="$FORMAT0 $(chunk MTrk "$(notes 1)")"  # its track lost its end of track
# A text event holding CR LF, then the notes.
CRLF_SOUND="$FORMAT0 $(chunk MTrk 00 FF 01 04 "$(hex $'a\r\nb')" "$(notes 1)" "$EOT")"
# More than the 1 KiB that `fsize=1 run` lets a file grow to. Repairing the second rewrites the
# track's length, so the last thing done to the output before closing it is a seek.
BIG_DAMAGED="$JUNK $FORMAT0 $(chunk MTrk "$(notes 150)" "$EOT")"
BIG_NOEND="$FORMAT0 $(chunk MTrk "$(notes 150)")"

USAGE='This program is a Win32 DOS commandline utility.\nIt requires knowledge in using DOS command line.\nseqmend checks a Standard MIDI File for damage and writes a repaired copy.\n\nusage: seqmend [-tracksonly] filename.mid [result.mid]\n-tracksonly\tcheck and repair only track headers\nif output filename is not given and changes are necessary then\noutput will be written to seqmend.mid\n'
HINT='if the results are not sufficient then try eolmend,\nbecause this file might contain cr/lf problems\n'
EOT_ADDED='in.mid: Missing end of track added.\n'
fixed() { printf '%s contains errors. Fixed output written to %s\\n' "$1" "$2"; }

# ---- Cases ----

# start NAME: ends the case before; this one gets an empty folder of its own.
start() {
  finish
  name=$1 problems='' cases=$((cases + 1))
  mkdir -p "$top/$cases/work" && cd "$top/$cases/work" && : >../sums
}

finish() {
  [ -n "$name" ] || return 0
  if [ -z "$problems" ]; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    printf 'FAIL %s:%s\n' "$name" "$problems"
  fi
  name=''
}

skip() {
  skipped=$((skipped + 1))
  echo "SKIP $name: $1"
  name=''
}

fail() { problems+=$'\n  '"$*"; }

# put NAME HEX...: writes the bytes and watches them
put() {
  local file=$1
  shift
  bytes "$@" >"$file" && sha256sum "$file" >>../sums
}

# Every entry, "name:type" (find's letter) for anything but a regular file.
listing() { find . -mindepth 1 -maxdepth 1 -printf '%P:%y\n' | sed 's/:f$//' | sort | paste -sd' '; }

# Types, sizes and contents of the folder (contents up to 64 MiB).
state() {
  find . -mindepth 1 -maxdepth 1 -printf '%y %s %P\n' | sort
  find . -mindepth 1 -maxdepth 1 -type f -size -64M -exec sha256sum {} + 2>/dev/null | sort -k2
}

# run ARGS...: the binary in the case's folder, stdin from /dev/null; `fsize=N run` limits the
# files it writes to N KiB, a full disk for regular files.
run() {
  before=$(state)
  (
    [ -z "${fsize:-}" ] || ulimit -f "$fsize"
    trap '' XFSZ  # a write past the limit fails with EFBIG instead of ending the process
    exec timeout "$TIME_LIMIT" "${WRAPPER[@]}" "$SEQMEND" "$@"
  ) </dev/null >../stdout 2>../stderr
  status=$?
  [ "$status" -ne 99 ] || [ ${#WRAPPER[@]} -eq 0 ] || fail "the wrapper found a fault"
}

same_text() {
  printf '%b' "$2" | cmp -s - "../$1" || fail "$1 differs:$(printf '%b' "$2" | diff - "../$1")"
}

# expect STATUS STDOUT STDERR: the status, both streams byte for byte (\n and \t as in printf),
# and every watched file as it was written
expect() {
  [ "$status" = "$1" ] || fail "exit status $status, expected $1"
  same_text stdout "$2"
  same_text stderr "$3"
  [ ! -s ../sums ] || sha256sum --quiet -c ../sums >/dev/null 2>&1 ||
    fail "input changed: $(sha256sum -c ../sums 2>&1 | grep ': FAILED')"
}

# files LISTING [NAME HEX]...: what the folder holds, and the bytes of the files named
files() {
  [ "$(listing)" = "$1" ] || fail "folder holds '$(listing)', expected '$1'"
  shift
  for ((; $# >= 2; )); do
    bytes "$2" | cmp -s -- - "$1" || fail "$1 is not as expected"
    shift 2
  done
}

unchanged() { [ "$(state)" = "$before" ] || fail "folder changed: $(diff <(echo "$before") <(state))"; }

# ---- The command line ----

start "version banner"
run -v
BANNER="$(head -n 1 ../stdout)\n"
grep -qxE 'seqmend v1\.15 \((Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) [1-9][0-9]? [0-9]{4}\)' \
  <(head -n 1 ../stdout) || fail "banner: $(head -n 1 ../stdout)"
expect 1 "$BANNER$USAGE" ''
files ''

# Without a file name: a banner for each -v, a report for each unknown option, then the usage.
start "no arguments"; run; expect 1 "$BANNER$USAGE" ''; files ''
start "-version"; run -version; expect 1 "$BANNER$USAGE" ''; files ''
start "options by their first two letters"; run -v -vx -q -tracks
expect 1 "$BANNER$BANNER$USAGE" ''; files ''
start "invalid options"; run -Q - -T -quiet
expect 1 "$USAGE" 'Invalid option -Q.\nInvalid option -.\nInvalid option -T.\n'; files ''

for args in seqmend.mid SEQMEND.MID 'seqmend.mid Seqmend.Mid x.mid'; do
  start "input named like the default output: $args"
  put seqmend.mid "$DAMAGED"
  put SEQMEND.MID "$DAMAGED"
  run $args
  expect 1 'Cannot write to seqmend.mid. Must specify alternate outputname!\n' ''
  files 'SEQMEND.MID seqmend.mid'
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

start "-t copies the events unchecked"; put in.mid "$NOEND"; run -t in.mid
expect 0 'in.mid is ok.\n' ''; files in.mid
start "events are checked without -t"; put in.mid "$NOEND"; run in.mid
expect 0 "$EOT_ADDED$(fixed in.mid seqmend.mid)" ''
files 'in.mid seqmend.mid' seqmend.mid "$FORMAT0 $(chunk MTrk "$(notes 1)" "$EOT")"

# ---- Verdicts ----

# verdict NAME INPUT STATUS STDOUT [OPTION...]: a stale out.mid, longer than any repaired file,
# is truncated, then kept only as the repaired file.
verdict() {
  start "$1"
  put in.mid "$2"
  { printf 'stale output'; bytes "$(printf 'AA%.0s' {1..200})"; } >out.mid
  run "${@:5}" in.mid out.mid
  expect "$3" "$4" ''
  case $4 in
    *Fixed*) files 'in.mid out.mid' out.mid "$SOUND" ;;
    *) files in.mid ;;
  esac
}
verdict sound "$SOUND" 0 'in.mid is ok.\n'
verdict "sound, quiet" "$SOUND" 0 '' -quietly
verdict "sound with CR LF" "$CRLF_SOUND" 0 'in.mid is ok.\n'
verdict "no MIDI data" '' 1 'in.mid: No midi data found.\n' -q
verdict repaired "$DAMAGED" 0 "$(fixed in.mid out.mid)"
verdict "repaired, CR LF after the start" "55 0D 0A $SOUND" 0 "$(fixed in.mid out.mid)$HINT"
verdict "repaired, CR LF at the start" "0D 0A 0D 0A $SOUND" 0 "$(fixed in.mid out.mid)"

# ---- Refusals before the engine runs: the report, exit 1, the folder as it was ----

# refused NAME SETUP STDOUT STDERR ARGS...
refused() {
  start "$1"
  put in.mid "$DAMAGED"
  put seqmend.mid "$(hex 'an earlier output')"
  eval "$2" || fail "setup failed: $2"
  run "${@:5}"
  expect 1 "$3" "$4"
  unchanged
}
refused "missing input" : '' 'nosuch.mid: No such file or directory\n' nosuch.mid
refused "input is a folder" 'mkdir dir.mid' '' 'dir.mid: Is a directory\n' dir.mid
refused "input is a FIFO" 'mkfifo fifo.mid' '' 'fifo.mid: Illegal seek\n' fifo.mid
refused "input of 2 GiB" 'truncate -s 2G big.mid' 'big.mid: file too large\n' '' big.mid
refused "output folder missing" : '' 'nodir/out.mid: No such file or directory\n' \
  in.mid nodir/out.mid
refused "output is a folder" 'mkdir dir' '' 'dir: Is a directory\n' in.mid dir
refused "output is the input by ./" : '' './in.mid: Permission denied\n' in.mid ./in.mid
refused "output is the input through another folder" 'mkdir sub' '' \
  'sub/../in.mid: Permission denied\n' in.mid sub/../in.mid
refused "output is a hard link to the input" 'ln in.mid hard.mid' '' \
  'hard.mid: Permission denied\n' in.mid hard.mid
refused "output is a symbolic link to the input" 'ln -s in.mid soft.mid' '' \
  'soft.mid: Permission denied\n' in.mid soft.mid
refused "output is a FIFO" 'mkfifo fifo' '' 'fifo: Illegal seek\n' in.mid fifo
refused "output is a socket" \
  'python3 -c "import socket; socket.socket(socket.AF_UNIX).bind(\"sock\")"' '' \
  'sock: Illegal seek\n' in.mid sock

# The run's own standard streams (../stdout and ../stderr here) must never take the repaired
# file, which would mix it with the messages or lose it.
refused "output is standard output" : '' '../stdout: Permission denied\n' in.mid ../stdout
refused "output is standard error" : '' '../stderr: Permission denied\n' in.mid ../stderr
start "null device as output and standard output: a check that loses nothing"
put in.mid "$DAMAGED"
"${WRAPPER[@]}" "$SEQMEND" in.mid /dev/null >/dev/null 2>../stderr || fail "exit status $?"
same_text stderr ''
start "extra file is standard output"
put in.mid "$SOUND $SOUND"
ln -s ../stdout extra1.mid
run in.mid out.mid
expect 1 'in.mid: Extra midi file found. Written to extra1.mid\n' 'extra1.mid: Permission denied\n'
files 'extra1.mid:l in.mid'

permissions() {
  start "unreadable input, unwritable output"
  put in.mid "$DAMAGED"
  put locked.mid "$(hex kept)"
  chmod 0 in.mid && chmod 0444 locked.mid
  [ ! -r in.mid ] || {
    skip "this user reads files whatever their permissions"
    return
  }
  run in.mid
  chmod 0444 in.mid
  expect 1 '' 'in.mid: Permission denied\n'
  run in.mid locked.mid
  expect 1 '' 'locked.mid: Permission denied\n'
  unchanged
}
permissions

# ---- Devices: written in place, never removed. A null device makes a check-only run, a full
# one a run that must not claim success; one that cannot seek is refused. ----

# device NAME MAJOR MINOR: a node made here that opens for writing
device() { mknod "$1" c "$2" "$3" 2>/dev/null && { : >"$1"; } 2>/dev/null; }

# on_device NAME INPUT STATUS STDOUT STDERR ARGS...
on_device() {
  start "$1"
  if ! device null 1 3 || ! device full 1 7; then
    skip "device nodes cannot be made here"
    return
  fi
  [ -z "$2" ] || put "$6" "$2"  # the input, named by the first argument
  run "${@:6}"
  expect "$3" "$4" "$5"
  unchanged
}
on_device "repaired into the null device" "$DAMAGED" 0 "$(fixed bad.mid null)" '' bad.mid null
on_device "sound, checked into the null device" "$SOUND" 0 'sound.mid is ok.\n' '' sound.mid null
on_device "repaired onto a full device" "$DAMAGED" 1 '' 'full: No space left on device\n' \
  bad.mid full
on_device "end of track added onto a full device" "$NOEND" 1 \
  'noend.mid: Missing end of track added.\n' 'full: No space left on device\n' noend.mid full
on_device "sound onto a full device" "$SOUND" 0 'sound.mid is ok.\n' '' sound.mid full
on_device "the null device as input" '' 1 'null: No midi data found.\n' '' null

no_seek() {
  for args in 'in.mid noseek' noseek; do
    start "device without positions: $args"
    # The FUSE control device opens for anyone allowed to and has no file positions.
    device noseek 10 229 || {
      skip "no device node without positions can be made here"
      continue
    }
    put in.mid "$DAMAGED"
    run $args
    expect 1 '' 'noseek: Illegal seek\n'
    unchanged
  done
}
no_seek

# ---- A full disk: a regular output not written whole is reported and removed, without a
# verdict, also when the failed write was met in a seek and closing the file went well. ----

start "full disk"; put in.mid "$BIG_DAMAGED"; fsize=1 run in.mid out.mid
expect 1 '' 'out.mid: File too large\n'; files in.mid
start "full disk, output finished by a seek"; put in.mid "$BIG_NOEND"; fsize=1 run in.mid out.mid
expect 1 "$EOT_ADDED" 'out.mid: File too large\n'; files in.mid

finish
echo "$passed passed, $failed failed, $skipped skipped"
[ "$failed" -eq 0 ]
