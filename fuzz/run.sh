#!/bin/sh
# Builds the receive-path fuzz target with clang 14 (libFuzzer, AddressSanitizer,
# UndefinedBehaviorSanitizer) in build/fuzz and runs it for the given number of
# seconds (30 by default) from the committed seed corpus. New inputs go to
# build/fuzz/corpus, findings to build/fuzz/findings; the seeds stay as they are.
# Usage: fuzz/run.sh [seconds] [extra libFuzzer flags...]
set -eu
here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
out="$root/build/fuzz"
seconds="${1:-30}"
[ $# -gt 0 ] && shift
cxx="${CXX_FUZZ:-clang++-14}"
command -v "$cxx" >/dev/null 2>&1 || { echo "fuzz: $cxx not found (apt-get install clang-14 libclang-rt-14-dev)" >&2; exit 1; }
mkdir -p "$out/corpus" "$out/findings"
srcs="$here/recv_fuzz.cpp"
for m in mlb layer plm lpkt lprog ser port_posix; do srcs="$srcs $root/zel/$m.cpp"; done
# Rebuild only when a source is newer than the binary.
if [ ! -x "$out/recv_fuzz" ] || [ -n "$(find $srcs -newer "$out/recv_fuzz" 2>/dev/null)" ]; then
  # shellcheck disable=SC2086
  "$cxx" -std=c++20 -g -O1 -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
    -fno-omit-frame-pointer -I"$root/zel" $srcs -o "$out/recv_fuzz"
fi
exec "$out/recv_fuzz" -max_total_time="$seconds" -artifact_prefix="$out/findings/" \
  -print_final_stats=1 "$@" "$out/corpus" "$here/corpus"
