#!/usr/bin/env bash
# libseqmend as another program meets it: the build is installed into an empty prefix (its
# components "library" and "development" only), and examples/repair_buffer.c is built against
# that copy with pkg-config and with a C-only CMake project through find_package(seqmend), shared
# (seqmend::seqmend) and static (seqmend::seqmend_static). Each build must print, exit and write
# on every example file exactly as the seqmend program does, and never replace its input.
# Exit status 77: a tool that the test needs is not installed.
#
# usage: installed_test.sh BUILD_DIR SOURCE_DIR SEQMEND
set -euo pipefail

build=$(cd "$1" && pwd) source=$(cd "$2" && pwd) seqmend=$(realpath "$3")
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

fail() { echo "FAIL: $*" >&2 && exit 1; }
for tool in cc readelf cmake pkg-config; do command -v "$tool" >/dev/null || exit 77; done

prefix=$scratch/prefix bin=$scratch/bin example=$source/examples/repair_buffer.c
for component in library development; do
  cmake --install "$build" --prefix "$prefix" --component "$component" >/dev/null
done
[ ! -e "$prefix/bin" ] || fail "the library components installed $(ls "$prefix/bin")"
libdir=$(dirname "$(find "$prefix" -name libseqmend.a)")  # lib/ or lib/<triplet>
export PKG_CONFIG_PATH=$libdir/pkgconfig PKG_CONFIG_LIBDIR=$libdir/pkgconfig
mkdir "$bin" "$scratch/project"
read -ra flags <<<"$(pkg-config --cflags --libs seqmend)"
cc -std=c99 -Wall -Wextra -Wpedantic -Werror -o "$bin/pkg-config-shared" "$example" "${flags[@]}" ||
  fail "pkg-config build"

# A project that enables C alone: the static target must bring the C++ runtime itself.
cat >"$scratch/project/CMakeLists.txt" <<EOF
cmake_minimum_required(VERSION 3.16)
project(repair_buffer LANGUAGES C)
find_package(seqmend 1 REQUIRED)
foreach(kind shared static)
  add_executable(cmake-\${kind} "$example")
  target_compile_options(cmake-\${kind} PRIVATE -std=c99 -Wall -Wextra -Wpedantic -Werror)
endforeach()
target_link_libraries(cmake-shared PRIVATE seqmend::seqmend)
target_link_libraries(cmake-static PRIVATE seqmend::seqmend_static)
EOF
{ cmake -S "$scratch/project" -B "$scratch/project/build" -DCMAKE_PREFIX_PATH="$prefix" &&
  cmake --build "$scratch/project/build"; } >"$scratch/cmake.log" 2>&1 ||
  fail "CMake project: $(<"$scratch/cmake.log")"
cp "$scratch"/project/build/cmake-{shared,static} "$bin/"

# The shared builds load the installed libseqmend.so.1; the static one needs no libseqmend.
for program in pkg-config-shared cmake-shared cmake-static; do
  needed=$(readelf -d "$bin/$program" | grep -o 'Shared library: \[libseqmend[^]]*\]' || true)
  expected=$([[ $program == *-shared ]] && echo "Shared library: [libseqmend.so.1]" || true)
  [ "$needed" = "$expected" ] || fail "$program needs '$needed'"
done
export LD_LIBRARY_PATH=$libdir

# Runs a program on a copy of a file in a folder of its own; the folder keeps what it wrote,
# its standard output and its exit status.
run() {
  local folder=$1 program=$2 file=$3 status=0
  mkdir "$folder" && cp "$file" "$folder/"
  (cd "$folder" && "$program" "${file##*/}" out.mid >stdout) || status=$?
  echo "exit status $status" >>"$folder/stdout"
}
for file in "$source"/examples/*.mid; do
  name=${file##*/}
  run "$scratch/expected-$name" "$seqmend" "$file"
  for program in "$bin"/*; do
    run "$scratch/${program##*/}-$name" "$program" "$file"
    diff -r "$scratch/expected-$name" "$scratch/${program##*/}-$name" ||
      fail "${program##*/} did otherwise than seqmend on $name"
  done
done
# The examples hold every verdict and an extra file, or the comparison proves little.
cat "$scratch"/expected-*/stdout | grep -q "exit status 1" && ls "$scratch"/expected-*/extra1.mid \
  >/dev/null || fail "the examples lack a failure or an extra file"
for program in "$bin"/*; do
  cp "$source/examples/damaged.mid" "$scratch/same.mid"
  ! "$program" "$scratch/same.mid" "$scratch/same.mid" >/dev/null 2>&1 ||
    fail "${program##*/} wrote over its input and succeeded"
  cmp -s "$source/examples/damaged.mid" "$scratch/same.mid" || fail "${program##*/} changed its input"
done
echo "PASSED: the installed example, built three ways, does what seqmend does"
