#!/usr/bin/env bash
# The installed libseqmend keeps the promises of its header: the static library holds no
# writable variable of its own (nothing in .data or .bss, nor thread-local), calls nothing that
# prints or ends the process, the shared library exports the C interface alone under its soname,
# and the header compiles on its own as strict C99 and as C++.
# Exit status 77: a tool that the test needs is not installed.
#
# usage: purity_test.sh BUILD_DIR
set -euo pipefail

build=$1
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

fail() { echo "FAIL: $*" >&2 && exit 1; }
need() { for tool; do command -v "$tool" >/dev/null || exit 77; done; }
need objdump nm readelf cc c++ cmake

prefix=$scratch/prefix
for component in library development; do
  cmake --install "$build" --prefix "$prefix" --component "$component" >/dev/null
done
archive=$(find "$prefix" -name libseqmend.a)
shared=${archive%.a}.so.1
[ -f "$archive" ] && [ -f "$shared" ] || fail "the library is not installed: $(find "$prefix")"

# Writable variables: objects in a writable data section, or common ones. Left out are the sections' own symbols
# and the compiler's references to the exception runtime (DW.ref.*), which are no state of the
# library; data that is only relocated (.data.rel.ro) is read-only once the program runs.
objdump -t "$archive" |
  awk '$NF !~ /^DW\.ref\./ && $0 ~ / (\.(data|bss|tdata|tbss)([.][^ \t]*)?|\*COM\*)[ \t]/ &&
       $0 !~ / \.data\.rel\.ro/ && $0 !~ / d  / { print }' >"$scratch/writable"
[ ! -s "$scratch/writable" ] || fail "writable variables in libseqmend.a:
$(<"$scratch/writable")"

# What prints or ends the process: the C library's printing to a stream (fortified or not), the
# standard streams of C and C++, and every way out of the process. Formatting into the caller's
# buffer (snprintf) is allowed.
forbidden='printf|vprintf|fprintf|vfprintf|dprintf|puts|fputs|putchar|putc|fputc|fwrite|perror'
forbidden+='|exit|_exit|_Exit|quick_exit|abort|stdout|stderr|std(::|)cout|std(::|)cerr|std(::|)clog'
forbidden+='|__assert_fail|_IO_putc'
nm -u -C "$archive" | awk '{ print $NF }' | sort -u |
  grep -E "^(__)?($forbidden)(_chk)?$" >"$scratch/called" || true
[ ! -s "$scratch/called" ] || fail "libseqmend.a calls $(tr '\n' ' ' <"$scratch/called")"

# The shared library: its soname, and no symbol of its own exported but the C interface.
readelf -d "$shared" | grep -q 'Library soname: \[libseqmend.so.1\]' || fail "soname: $(readelf -d "$shared")"
nm -D --defined-only "$shared" | awk '{ print $NF }' | grep -v '^seqmend_' >"$scratch/exported" || true
[ ! -s "$scratch/exported" ] || fail "libseqmend.so exports $(tr '\n' ' ' <"$scratch/exported")"
nm -D --defined-only "$shared" | grep -q ' T seqmend_repair_memory$' || fail "seqmend_repair_memory not exported"

# The header alone, first, in strict C99 and in C++ (the oldest and the project's standard), as
# used by a program and as seen when the library is built for a shared library.
echo '#include <seqmend.h>
int main(void) { return seqmend_version_number() == SEQMEND_VERSION_NUMBER ? 0 : 1; }' >"$scratch/use.c"
cp "$scratch/use.c" "$scratch/use.cpp"
for define in -DSEQMEND_UNUSED -DSEQMEND_SHARED -DSEQMEND_SHARED_BUILD; do
  cc -std=c99 -Wall -Wextra -Wpedantic -Wstrict-prototypes -Werror "$define" -I"$prefix/include" \
    -c -o /dev/null "$scratch/use.c" || fail "the header as C99 with $define"
  for standard in c++11 c++20; do
    c++ -std=$standard -Wall -Wextra -Wpedantic -Werror "$define" -I"$prefix/include" \
      -c -o /dev/null "$scratch/use.cpp" || fail "the header as $standard with $define"
  done
done
echo "PASSED: libseqmend.a has no writable variable and no printing or exit; the header compiles"
