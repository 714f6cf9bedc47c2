#!/usr/bin/env bash
# What users meet around the binary: the manual page, the example files, the batch example and
# the Debian packages. Exit status 77 marks a check whose tools are not installed (skipped).
#
# usage: docs_test.sh manpage|examples|batch|package SEQMEND SOURCE_DIR BUILD_DIR VERSION
set -euo pipefail

check=$1 seqmend=$2 source=$3 build=$4 version=$5
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

fail() { echo "FAIL: $*" >&2 && exit 1; }
need() { for tool; do command -v "$tool" >/dev/null || exit 77; done; }

# Each page renders without a single warning, carries the project's version, and documents every
# message that its program prints with a conversion in it: each format string of its sources must
# match a line of the page, with its conversions standing for any word. The findings' lines stand
# in the library's table of codes, eolmend's from "crlf-to-lf" to "not-enough-memory"; the
# programs' own lines in their sources and the shared front end. seqmend-batch's test holds its page to every message code.
check_manpage() {
  need groff
  local codes="$scratch/codes"
  sed -n '/^constexpr CodeInfo CODES/,/^};/p' "$source/src/engine/seqmend_api.cpp" >"$codes"
  sed '/"crlf-to-lf"/,/"not-enough-memory"/d' "$codes" >"$codes.seqmend"
  { sed -n '/"crlf-to-lf"/,/"not-enough-memory"/p' "$codes"
    grep -E '"(no-midi-data|file-too-large)"' "$codes"; } >"$codes.eolmend"
  check_page seqmend 30 "$codes.seqmend" $(find "$source/src" -name '*.cpp' \
    ! -path "$source/src/eolmend/*" ! -path "$source/src/batch/*" ! -path "$source/src/engine/*")
  check_page eolmend 10 "$codes.eolmend" "$source"/src/eolmend/*.cpp "$source/src/app/run_driver.cpp"
  check_page seqmend-batch 0 /dev/null
}

# check_page PROGRAM FEWEST SOURCES...
check_page() {
  local program=$1 fewest=$2 page=$source/docs/$1.1 format pattern
  shift 2
  groff -ww -z -man "$page" 2>"$scratch/warnings" || fail "groff failed on $page"
  ! command -v man >/dev/null || man --warnings -l "$page" 2>>"$scratch/warnings" >/dev/null ||
    fail "man failed on $page"
  [ ! -s "$scratch/warnings" ] || fail "warnings on $page: $(<"$scratch/warnings")"
  grep -q "^\.TH ${program^^} 1 [^ ]* \"$program $version\"" "$page" ||
    fail "$page is not of version $version"

  groff -man -Tascii -rLL=400n -rHY=0 -P-cbu "$page" | tr -s ' ' >"$scratch/page.txt"
  # A call may break its line before the format string, so the sources are read as one line.
  cat "$@" | tr '\n' ' ' |
    { grep -oE '(printf\( *(stderr, *)?|\{"[a-z0-9-]+", *)"([^"\\]|\\.)*%([^"\\]|\\.)*"' || true; } |
    sed -E 's/^(printf\( *(stderr, *)?|\{"[a-z0-9-]+", *)"//; s/"$//; s/\\n$//; s/\\"/"/g' |
    sort -u >"$scratch/formats"
  [ "$(wc -l <"$scratch/formats")" -ge "$fewest" ] || fail "too few messages found for $program"
  : >"$scratch/missing"
  while IFS= read -r format; do
    pattern=$(printf '%s' "$format" | sed -E 's/%[-0-9.]*l?[sduX]/\x01/g; s/[][\.*^$()+?{}|]/\\&/g; s/\x01/[^ ]*/g')
    grep -qE "(^| )$pattern( |$)" "$scratch/page.txt" || echo "$format" >>"$scratch/missing"
  done <"$scratch/formats"
  [ ! -s "$scratch/missing" ] || fail "messages missing from $page: $(<"$scratch/missing")"
}

# The committed example files are exactly what their generator writes.
check_examples() {
  need python3
  python3 "$source/examples/make-examples.py" "$scratch"
  for file in "$scratch"/*.mid "$source"/examples/*.mid; do
    cmp -s "$scratch/${file##*/}" "$source/examples/${file##*/}" || fail "${file##*/} is stale"
  done
}

# The worked example of the README: one run per file, in parallel, summed up in the README's table.
check_batch() {
  local status=0
  SEQMEND=$seqmend "$source/scripts/batch-summary" -j 2 "$source/examples" >"$scratch/summary" ||
    status=$?
  [ $status -eq 1 ] || fail "batch-summary exit status $status, expected 1 (not-midi.mid fails)"
  awk '/^```/ { shown = 0 } shown; /^\$ .*scripts\/batch-summary examples$/ { shown = 1 }' \
    "$source/README.md" | diff -u - "$scratch/summary" || fail "summary unlike the README's"
  [ -z "$(git -C "$source" status --porcelain -- examples 2>/dev/null)" ] ||
    fail "the batch run changed examples/"
}

# The three packages: seqmend (the programs), libseqmend<major> (the shared library) and
# libseqmend-dev (what building against it takes). Each installs into an empty root of its own
# with what it should hold, and no two share a file. The programs run from theirs: -version
# prints the banner of this version and exits with 1. Only the development package depends on
# the runtime package, in the same version; the runtime package declares its library. (What the
# library's files build and do is the library test's matter: they come from the same install
# components.) lintian finds no error and no warning in any of them, and no missing hardening
# (a copyright file and the soname link are among its errors); without lintian the check ends as
# skipped after the rest.
check_package() {
  need cpack dpkg-deb
  cpack -G DEB --config "$build/CPackConfig.cmake" -B "$scratch/package" >"$scratch/cpack.log" ||
    fail "cpack: $(<"$scratch/cpack.log")"
  local runtime=libseqmend${version%%.*} package deb root=$scratch/root-seqmend status program file
  local debs=()
  for package in seqmend "$runtime" libseqmend-dev; do
    deb=$(ls "$scratch/package/${package}_$version"_*.deb) || fail "no package $package"
    debs+=("$deb")
    [ "$(dpkg-deb -f "$deb" Package Version)" = "Package: $package"$'\n'"Version: $version" ] ||
      fail "control fields: $(dpkg-deb -f "$deb")"
    dpkg-deb -x "$deb" "$scratch/root-$package"
    dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { print $6 }' >>"$scratch/files"
  done
  [ -z "$(sort "$scratch/files" | uniq -d)" ] ||
    fail "files in two packages: $(sort "$scratch/files" | uniq -d)"
  [ -z "$(dpkg-deb -f "${debs[0]}" Depends | grep -o 'libseqmend[^,]*')" ] ||
    fail "seqmend depends on the library package: $(dpkg-deb -f "${debs[0]}" Depends)"
  dpkg-deb -f "${debs[2]}" Depends | grep -qF "$runtime (= $version)" ||
    fail "libseqmend-dev depends on $(dpkg-deb -f "${debs[2]}" Depends)"
  dpkg-deb -I "${debs[1]}" shlibs | grep -qx "libseqmend ${version%%.*} $runtime (>= $version)" ||
    fail "the shlibs file of $runtime: $(dpkg-deb -I "${debs[1]}" shlibs)"

  for file in man/man1/{seqmend,eolmend,seqmend-batch}.1.gz; do
    [ -f "$root/usr/share/$file" ] || fail "no $file in the package"
  done
  "$root/usr/bin/seqmend-batch" --version | grep -qx "seqmend-batch $version" ||
    fail "installed seqmend-batch --version"
  for program in seqmend eolmend; do
    status=0
    "$root/usr/bin/$program" -version >"$scratch/out" || status=$?
    [ $status -eq 1 ] && head -1 "$scratch/out" | grep -q "^$program v$version (" ||
      fail "installed $program -version: exit status $status, $(head -1 "$scratch/out")"
  done

  local lib
  lib=$(dirname "$(find "$scratch/root-$runtime/usr/lib" -name 'libseqmend.so.*.*')")
  lib=${lib#"$scratch/root-$runtime"}
  for file in include/seqmend.h "${lib#/usr/}"/{libseqmend.a,libseqmend.so,pkgconfig/seqmend.pc} \
    "${lib#/usr/}"/cmake/seqmend/seqmend{Config,ConfigVersion,Targets}.cmake; do
    [ -e "$scratch/root-libseqmend-dev/usr/$file" ] || [ -L "$scratch/root-libseqmend-dev/usr/$file" ] ||
      fail "no $file in libseqmend-dev"
  done

  need lintian
  # The hardening comes with the presets (scripts/package builds with one); a build configured
  # without them is checked for everything else.
  # cpack writes a postinst and a postrm that run ldconfig into every package with a shared
  # library in /usr/lib, and has no switch to leave them out. The runtime package activates
  # dpkg's ldconfig trigger as Debian wants; the scripts' own call only renews the cache once more.
  local suppressed=maintscript-calls-ldconfig
  grep -q '^CMAKE_CXX_FLAGS:STRING=.*-fstack-protector-strong' "$build/CMakeCache.txt" ||
    suppressed+=,hardening-no-relro,hardening-no-bindnow,hardening-no-pie,hardening-no-fortify-functions
  lintian --display-info --fail-on error,warning --suppress-tags "$suppressed" \
    "${debs[@]}" >"$scratch/lintian" 2>&1 &&
    ! grep -qE '^[EW]: |hardening-' "$scratch/lintian" || fail "lintian: $(<"$scratch/lintian")"
}

case $check in
  manpage | examples | batch | package) "check_$check" ;;
  *) fail "unknown check $check" ;;
esac
