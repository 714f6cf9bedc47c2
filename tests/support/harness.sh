# The process-level harness of the test scripts: byte builders, one fresh folder per case, runs
# of a program with its streams and exit status captured, and checks of what it left behind.
# Every file a case writes with `put` is checked byte for byte (sha256) after every run, so no
# case can miss a damaged input. PROGRAM is the binary under test; the environment variable
# SEQMEND_TEST_WRAPPER, split at blanks, is put in front of it (valgrind, say), and its exit
# status 99 means the wrapper found a fault. `finish_all` ends the script with its summary.
#
# usage (in a test script): PROGRAM=path; source harness.sh

export LC_ALL=C
read -r -a WRAPPER <<<"${SEQMEND_TEST_WRAPPER:-}"
# Seconds a run may take: one that waits forever (on a FIFO, say) fails instead.
TIME_LIMIT=$([ ${#WRAPPER[@]} -eq 0 ] && echo 30 || echo 600)
top=$(mktemp -d "${TMPDIR:-/tmp}/seqmend-test-XXXXXX")
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
  local body="${*:2}"
  body=${body// /}
  printf '%s%08X%s' "$(hex "$1")" $((${#body} / 2)) "$body"
}
EOT='00 FF 2F 00'                       # end of track
FORMAT0=$(chunk MThd 0000 0001 01E0)  # format 0, one track, 480 ticks per quarter
# The verdict of a repair, shared by the programs.
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
  [ -z "$problems" ] && passed=$((passed + 1)) ||
    { failed=$((failed + 1)) && printf 'FAIL %s:%s\n' "$name" "$problems"; }
  name=''
}

skip() { skipped=$((skipped + 1)) && echo "SKIP $name: $1" && name=''; }

fail() { problems+=$'\n  '"$*"; }

# put NAME HEX...: writes the bytes and watches them
put() { bytes "${@:2}" >"$1" && sha256sum "$1" >>../sums; }

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
    exec timeout "$TIME_LIMIT" "${WRAPPER[@]}" "$PROGRAM" "$@"
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

# files LISTING [NAME HEX]: what the folder holds, and the bytes of the file named
files() {
  [ "$(listing)" = "$1" ] || fail "folder holds '$(listing)', expected '$1'"
  [ $# -lt 3 ] || bytes "$3" | cmp -s -- - "$2" || fail "$2 is not as expected"
}

unchanged() { [ "$(state)" = "$before" ] || fail "folder changed: $(diff <(echo "$before") <(state))"; }

# device NAME MAJOR MINOR: a node made here that opens for writing
device() { mknod "$1" c "$2" "$3" 2>/dev/null && { : >"$1"; } 2>/dev/null; }

finish_all() { finish && echo "$passed passed, $failed failed, $skipped skipped" && [ "$failed" -eq 0 ]; }
