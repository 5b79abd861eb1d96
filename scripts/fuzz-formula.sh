#!/bin/sh
# Builds the formula fuzzer with clang (address and undefined-behaviour
# sanitizers) into build-fuzz and runs it over fuzz/corpus/formula.
#   scripts/fuzz-formula.sh [SECONDS]     default 300
# New interesting inputs are added to the corpus folder; commit the ones worth
# keeping. A crash leaves its input as build-fuzz/crash-* for the test suite.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-300}
build="$root/build-fuzz"
cmake -S "$root" -B "$build" -G Ninja \
  -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DKORVANE_BUILD_TESTS=OFF -DKORVANE_BUILD_BENCH=OFF -DKORVANE_BUILD_FUZZ=ON >/dev/null
cmake --build "$build" --target fuzz_formula korvane_resources --parallel 2
mkdir -p "$root/fuzz/corpus/formula"
cd "$build"
exec "$build/bin/fuzz_formula" "$root/fuzz/corpus/formula" \
  -max_total_time="$seconds" -max_len=2048 -timeout=10 -rss_limit_mb=2048 -print_final_stats=1
