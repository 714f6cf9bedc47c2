#!/usr/bin/env bash
# libseqmend as another program meets it: the build is installed into an empty prefix (its
# components "library" and "development" only), and examples/repair_buffer.c is built against
# that copy four ways: with pkg-config, shared and static, and with a C-only CMake project
# through find_package(seqmend), seqmend::seqmend and seqmend::seqmend_static. Each build must
# print, exit and write on every example file, and on every file of the external corpus where it
# is given, exactly as the seqmend program does.
# Exit status 77: a tool that the test needs is not installed.
#
# usage: installed_test.sh BUILD_DIR SOURCE_DIR SEQMEND [CORPUS_DIR]
set -euo pipefail

build=$(cd "$1" && pwd) source=$(cd "$2" && pwd) seqmend=$(realpath "$3")
corpus=${4:-}
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

fail() { echo "FAIL: $*" >&2 && exit 1; }
need() { for tool; do command -v "$tool" >/dev/null || exit 77; done; }
need cc readelf cmake

prefix=$scratch/prefix
for component in library development; do
  cmake --install "$build" --prefix "$prefix" --component "$component" >/dev/null
done
# Neither the programs nor anything of the build folder may be needed from here on.
[ ! -e "$prefix/bin" ] || fail "the library components installed $(ls "$prefix/bin")"
# lib/ or lib/<triplet>, as the build chose.
libdir=$(dirname "$(find "$prefix" -name libseqmend.a)")
[ -f "$libdir/pkgconfig/seqmend.pc" ] || fail "no pkg-config file: $(find "$prefix")"
export PKG_CONFIG_PATH=$libdir/pkgconfig PKG_CONFIG_LIBDIR=$libdir/pkgconfig
unset CMAKE_PREFIX_PATH
example=$source/examples/repair_buffer.c
warnings=(-std=c99 -Wall -Wextra -Wpedantic -Werror)
bin=$scratch/bin
mkdir "$bin"

# With pkg-config, where it is installed. The .so beside the .a is what -lseqmend picks, so the
# static build links everything statically, which is what the Libs.private of `--static` are for.
# A system without the static C library (libc.a) links no static program at all.
programs=(cmake-shared cmake-static)
if command -v pkg-config >/dev/null; then
  read -ra cflags <<<"$(pkg-config --cflags seqmend)"
  read -ra libs <<<"$(pkg-config --libs seqmend)"
  read -ra static_libs <<<"$(pkg-config --libs --static seqmend)"
  cc "${warnings[@]}" "${cflags[@]}" -o "$bin/pkg-config-shared" "$example" "${libs[@]}" ||
    fail "pkg-config shared build"
  programs+=(pkg-config-shared)
  if [ -n "$(cc -print-file-name=libc.a | grep /)" ]; then
    cc -static "${warnings[@]}" "${cflags[@]}" -o "$bin/pkg-config-static" "$example" \
      "${static_libs[@]}" || fail "pkg-config static build"
    programs+=(pkg-config-static)
  fi
fi

# With CMake, from a project that enables C alone: the static target must bring the C++ runtime.
mkdir "$scratch/project"
cat >"$scratch/project/CMakeLists.txt" <<EOF
cmake_minimum_required(VERSION 3.16)
project(repair_buffer LANGUAGES C)
find_package(seqmend 1 REQUIRED)
add_executable(cmake-shared "$example")
target_link_libraries(cmake-shared PRIVATE seqmend::seqmend)
add_executable(cmake-static "$example")
target_link_libraries(cmake-static PRIVATE seqmend::seqmend_static)
set_target_properties(cmake-shared cmake-static PROPERTIES C_STANDARD 99 C_EXTENSIONS OFF)
target_compile_options(cmake-shared PRIVATE -Wall -Wextra -Wpedantic -Werror)
target_compile_options(cmake-static PRIVATE -Wall -Wextra -Wpedantic -Werror)
EOF
cmake -S "$scratch/project" -B "$scratch/project/build" -DCMAKE_PREFIX_PATH="$prefix" \
  -DCMAKE_BUILD_TYPE=Release >"$scratch/cmake.log" 2>&1 || fail "CMake project: $(<"$scratch/cmake.log")"
cmake --build "$scratch/project/build" >>"$scratch/cmake.log" 2>&1 ||
  fail "CMake project build: $(<"$scratch/cmake.log")"
cp "$scratch/project/build/cmake-shared" "$scratch/project/build/cmake-static" "$bin/"

# The shared builds load the installed libseqmend.so.1 (found by the run path CMake writes, or by
# LD_LIBRARY_PATH); the static ones need no libseqmend at all.
for program in "${programs[@]}"; do
  needed=$(readelf -d "$bin/$program" | grep -o 'Shared library: \[libseqmend[^]]*\]' || true)
  case $program in
    *-shared) [ "$needed" = "Shared library: [libseqmend.so.1]" ] || fail "$program needs '$needed'" ;;
    *-static) [ -z "$needed" ] || fail "$program needs $needed" ;;
  esac
done
export LD_LIBRARY_PATH=$libdir

# Runs a program on a copy of an example file in a folder of its own: its output is
# the folder (the repaired file and any extra file), stdout and the exit status.
run() {
  local folder=$1 program=$2 file=$3 status=0
  mkdir "$folder"
  cp "$file" "$folder/"
  (cd "$folder" && "$program" "${file##*/}" out.mid >../"${folder##*/}.stdout") || status=$?
  echo "exit status $status" >>"$folder.stdout"
}

inputs=("$source"/examples/*.mid)
if [ -n "$corpus" ] && [ -d "$corpus" ]; then
  mapfile -t -O ${#inputs[@]} inputs < <(find "$corpus" -type f -name '*.mid' | sort)
fi
count=0
for file in "${inputs[@]}"; do
  name=${file##*/}
  [ ! -e "$scratch/expected-$name" ] || name=$count-$name  # the same name in two folders
  mkdir "$scratch/input-$count"
  cp "$file" "$scratch/input-$count/$name"
  file=$scratch/input-$count/$name
  run "$scratch/expected-$name" "$seqmend" "$file"
  for program in "${programs[@]}"; do
    run "$scratch/$program-$name" "$bin/$program" "$file"
    diff -u "$scratch/expected-$name.stdout" "$scratch/$program-$name.stdout" ||
      fail "$program printed otherwise than seqmend on $name"
    diff -r "$scratch/expected-$name" "$scratch/$program-$name" ||
      fail "$program wrote otherwise than seqmend on $name"
    count=$((count + 1))
  done
done
# The input is never replaced, not even when it is named as the output.
for program in "${programs[@]}"; do
  cp "$source/examples/damaged.mid" "$scratch/same.mid"
  "$bin/$program" "$scratch/same.mid" "$scratch/same.mid" >/dev/null 2>&1 &&
    fail "$program wrote over its input and succeeded"
  cmp -s "$source/examples/damaged.mid" "$scratch/same.mid" || fail "$program changed its input"
done
# The example files cover every verdict and an extra file; the comparison proves nothing if not.
grep -qx "exit status 1" "$scratch"/expected-*.stdout || fail "no example file fails"
ls "$scratch"/expected-*/extra1.mid >/dev/null 2>&1 || fail "no example file has an extra file"
grep -q "contains errors" "$scratch/expected-damaged.mid.stdout" || fail "damaged.mid not repaired"
echo "PASSED: $count runs of the installed example (${programs[*]}) equal to seqmend's"
