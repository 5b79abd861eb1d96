#!/bin/sh
# Builds the task-line fuzzer with clang (address and undefined-behaviour
# sanitizers) into build-task-fuzz and runs it over fuzz/corpus/task_lines.
#   scripts/fuzz-task-lines.sh [SECONDS]     default 300
# Arbitrary bytes go to the server's line handler of the example model; a
# crash, a hang (-timeout) or growing memory (-rss_limit_mb) is a failure and
# leaves its input as build-task-fuzz/crash-* (or timeout-*, oom-*).
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-300}
build="$root/build-task-fuzz"
cmake -S "$root" -B "$build" -G Ninja \
  -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DKORVANE_BUILD_TESTS=OFF -DKORVANE_BUILD_BENCH=OFF -DKORVANE_BUILD_FUZZ=ON >/dev/null
cmake --build "$build" --target fuzz_task_lines --parallel 2
mkdir -p "$root/fuzz/corpus/task_lines"
cd "$build"
exec "$build/bin/fuzz_task_lines" "$root/fuzz/corpus/task_lines" \
  -max_total_time="$seconds" -max_len=8192 -timeout=20 -rss_limit_mb=1024 -print_final_stats=1
