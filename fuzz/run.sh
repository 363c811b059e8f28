#!/bin/sh
# Builds the INI reader fuzz target with clang and runs it for a bounded time.
#
#   fuzz/run.sh [seconds] [build-dir]
#
# seconds defaults to 60, build-dir to build-fuzz in the repository (build-*
# directories are ignored by git). The corpus grows in <build-dir>/corpus,
# seeded from the INI files under tests/data; crashing inputs land in
# <build-dir>/artifacts. Exits non-zero when the fuzzer finds a fault.
set -eu

seconds=${1:-60}
repo=$(cd "$(dirname "$0")/.." && pwd)
build=${2:-$repo/build-fuzz}

cmake -S "$repo" -B "$build" \
  -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo -DRELAY_FUZZ=ON \
  -DRELAY_BUILD_TESTS=OFF -DRELAY_BUILD_BENCH=OFF -DRELAY_BUILD_TOOLS=OFF
cmake --build "$build" --target ini_load_fuzz -j2

seeds=$build/seeds
mkdir -p "$build/corpus" "$build/artifacts" "$seeds"
find "$repo/tests/data" -type f -exec cp {} "$seeds/" \;

# The bytes that steer the reader: line ends, header brackets, comment
# markers, the assignment, the blanks that Trim removes, a stray control byte.
dict=$build/ini.dict
cat > "$dict" <<'DICT'
"\x0a"
"\x0d\x0a"
"["
"]"
";"
"#"
"="
" "
"\x09"
"\x0d"
"\x01"
"\xef\xbb\xbf"
DICT

"$build/fuzz/ini_load_fuzz" \
  -max_total_time="$seconds" \
  -dict="$dict" \
  -artifact_prefix="$build/artifacts/" \
  -print_final_stats=1 \
  "$build/corpus" "$seeds"
