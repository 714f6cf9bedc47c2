#!/usr/bin/env bash
# What users meet around the binary: the manual page, the example files, the batch example and
# the Debian package. Exit status 77 marks a check whose tools are not installed (skipped).
#
# usage: docs_test.sh manpage|examples|batch|package SEQMEND SOURCE_DIR BUILD_DIR VERSION
set -euo pipefail

check=$1 seqmend=$2 source=$3 build=$4 version=$5
SKIP=77
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

# Each page renders without a single warning, carries the project's version, and documents every
# message that its program prints with a conversion in it: each format string of its sources must
# match a line of the page, with its conversions standing for any word. eolmend's sources are its
# own folder and the shared front end; seqmend's are all others.
check_manpage() {
  command -v groff >/dev/null || exit $SKIP
  check_page seqmend 30 $(find "$source/src" -name '*.cpp' ! -path "$source/src/eolmend/*")
  check_page eolmend 10 "$source"/src/eolmend/*.cpp "$source/src/app/run_driver.cpp"
}

# check_page PROGRAM FEWEST SOURCES...
check_page() {
  local program=$1 fewest=$2 page=$source/docs/$1.1
  shift 2
  groff -ww -z -man "$page" 2>"$scratch/warnings" || fail "groff failed on $page"
  [ ! -s "$scratch/warnings" ] || fail "groff warnings: $(cat "$scratch/warnings")"
  if command -v man >/dev/null; then
    man --warnings -l "$page" 2>"$scratch/warnings" >/dev/null || fail "man failed on $page"
    [ ! -s "$scratch/warnings" ] || fail "man warnings: $(cat "$scratch/warnings")"
  fi
  grep -q "^\.TH ${program^^} 1 [^ ]* \"$program $version\"" "$page" ||
    fail "$page is not of version $version"

  groff -man -Tascii -rLL=400n -rHY=0 -P-cbu "$page" | tr -s ' ' >"$scratch/page.txt"
  # A call may break its line before the format string, so the sources are read as one line.
  cat "$@" | tr '\n' ' ' |
    grep -oE 'printf\( *(stderr, *)?"([^"\\]|\\.)*%([^"\\]|\\.)*"' |
    sed -E 's/^[^"]*"//; s/"$//; s/\\n$//; s/\\"/"/g' | sort -u >"$scratch/formats"
  [ "$(wc -l <"$scratch/formats")" -ge "$fewest" ] || fail "too few messages found for $program"
  local format pattern missing=0
  while IFS= read -r format; do
    pattern=$(printf '%s' "$format" | sed -E 's/%[-0-9.]*l?[sduX]/\x01/g; s/[][\.*^$()+?{}|]/\\&/g; s/\x01/[^ ]*/g')
    grep -qE "(^| )$pattern( |$)" "$scratch/page.txt" || {
      echo "not in the manual page of $program: $format" >&2
      missing=1
    }
  done <"$scratch/formats"
  [ $missing -eq 0 ] || fail "messages missing from $page"
}

# The committed example files are exactly what their generator writes.
check_examples() {
  command -v python3 >/dev/null || exit $SKIP
  python3 "$source/examples/make-examples.py" "$scratch"
  local made committed
  made=$(cd "$scratch" && ls ./*.mid)
  committed=$(cd "$source/examples" && ls ./*.mid)
  [ "$made" = "$committed" ] || fail "generated files differ from committed ones: $made"
  for file in "$scratch"/*.mid; do
    cmp -s "$file" "$source/examples/$(basename "$file")" || fail "$(basename "$file") is stale"
  done
}

# The worked example of the README: one run per file, in parallel, summed up in a table.
check_batch() {
  local status=0
  SEQMEND=$seqmend "$source/scripts/batch-summary" -j 2 "$source/examples" >"$scratch/summary" ||
    status=$?
  [ $status -eq 1 ] || fail "batch-summary exit status $status, expected 1 (not-midi.mid fails)"
  cat >"$scratch/expected" <<'EOF'
file                 verdict   lines
appended.mid         repaired  1
bad-header.mid       repaired  2
bad-values.mid       repaired  3
damaged.mid          repaired  8
format0-tracks.mid   repaired  4
length-and-eot.mid   repaired  2
lost-track-head.mid  repaired  0
not-midi.mid         failed    1
snio-header.mid      repaired  1
sound.mid            ok        0
stray-bytes.mid      repaired  2
sysex.mid            repaired  3
12 files: 1 ok, 10 repaired, 1 failed
EOF
  diff -u "$scratch/expected" "$scratch/summary" || fail "unexpected summary"
  [ -z "$(git -C "$source" status --porcelain -- examples 2>/dev/null)" ] ||
    fail "the batch run changed examples/"
}

# The package installs into an empty root with both programs and their manual pages; each binary
# runs: -version prints the banner and, with no file name, the usage screen, and exits with 1.
# lintian finds no error and no warning in it, and no missing hardening; without lintian the
# check ends as skipped after the rest.
check_package() {
  command -v cpack >/dev/null && command -v dpkg-deb >/dev/null || exit $SKIP
  cpack -G DEB --config "$build/CPackConfig.cmake" -B "$scratch/package" >"$scratch/cpack.log" ||
    fail "cpack: $(cat "$scratch/cpack.log")"
  local deb
  deb=$(ls "$scratch"/package/seqmend_*.deb)
  [ "$(dpkg-deb -f "$deb" Package Version)" = "Package: seqmend
Version: $version" ] || fail "control fields: $(dpkg-deb -f "$deb")"
  dpkg-deb -x "$deb" "$scratch/root"
  [ -f "$scratch/root/usr/share/doc/seqmend/copyright" ] || fail "no copyright file in the package"
  for program in seqmend eolmend; do
    [ -f "$scratch/root/usr/share/man/man1/$program.1.gz" ] || fail "no $program.1 in the package"
    local status=0
    "$scratch/root/usr/bin/$program" -version >"$scratch/out" || status=$?
    [ $status -eq 1 ] || fail "installed $program -version: exit status $status"
    grep -qE "^$program v$version \([A-Z][a-z]{2} [0-9]{1,2} [0-9]{4}\)$" <(head -1 "$scratch/out") ||
      fail "$program banner: $(head -1 "$scratch/out")"
    grep -q "^usage: $program \[-.*\] filename.mid \[result.mid\]$" "$scratch/out" ||
      fail "no usage line for $program"
  done

  command -v lintian >/dev/null || exit $SKIP
  # The hardening comes with the presets (scripts/package builds with one); a build configured
  # without them is checked for everything else.
  local unhardened=()
  grep -q '^CMAKE_CXX_FLAGS:STRING=.*-fstack-protector-strong' "$build/CMakeCache.txt" ||
    unhardened=(--suppress-tags hardening-no-relro,hardening-no-bindnow,hardening-no-pie,hardening-no-fortify-functions)
  lintian --display-info --fail-on error,warning "${unhardened[@]}" "$deb" >"$scratch/lintian" 2>&1 ||
    fail "lintian: $(cat "$scratch/lintian")"
  ! grep -qE '^[EW]: |hardening-' "$scratch/lintian" || fail "lintian: $(cat "$scratch/lintian")"
}

case $check in
  manpage) check_manpage ;;
  examples) check_examples ;;
  batch) check_batch ;;
  package) check_package ;;
  *) fail "unknown check $check" ;;
esac
