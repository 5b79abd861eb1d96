#!/usr/bin/env bash
# The Python task loop with the model in-process (the extension module): the
# binary-choice sample task (examples/binary_choice_task.py --in-process),
# SUBJECTS x TRIALS, at trace levels 2 (none), 1 (decisions) and 0 (full),
# the levels alternating within each of REPEATS rounds so that the machine's
# noise spreads over all of them. Prints per level the median choices per
# second with the range, and the median CPU time (user + sys) per decision.
#
#   bench/python-inprocess.sh [BUILD_DIR] [SUBJECTS] [TRIALS] [REPEATS]   (default build 1000 100 5)
#
# Needs the targets korvane and _korvane.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
subjects=${2:-1000}
trials=${3:-100}
repeats=${4:-5}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export KORVANE_DATA_DIR=$work/data
for level in 2 1 0; do
  "$build/bin/korvane" example binary-choice "$work/model-$level.mdb" >/dev/null
  "$build/bin/korvane" set "$work/model-$level.mdb" Params_TraceLevel "$level" >/dev/null
done
: >"$work/results"
for round in $(seq 1 "$repeats"); do
  for level in 2 1 0; do
    /usr/bin/time -f "%U %S" -o "$work/time" env PYTHONPATH="$build/python" /usr/bin/python3 \
      "$root/examples/binary_choice_task.py" --in-process "$work/model-$level.mdb" --model-seed 1 \
      --subjects "$subjects" --trials "$trials" >"$work/out"
    line=$(grep -E "decisions in .* s$" "$work/out" | tail -1)
    echo "$level $(awk '{print $1, $4}' <<<"$line") $(cat "$work/time")" >>"$work/results"
    rm -f "$work"/model-"$level"-*.mdb*
  done
done
/usr/bin/python3 - "$work/results" "$subjects" "$trials" "$repeats" <<'PY'
import statistics, sys
rows = [line.split() for line in open(sys.argv[1])]
print(f"binary choice, Python task in-process, {sys.argv[2]} subjects x {sys.argv[3]} trials, {sys.argv[4]} rounds")
print(f"{'trace level':<16}{'choices/s median':>18}{'range':>20}{'CPU us/decision':>18}")
for level, name in (("2", "none"), ("1", "decisions"), ("0", "full")):
    runs = [r for r in rows if r[0] == level]
    rates = [float(r[1]) / float(r[2]) for r in runs]
    cpu = [(float(r[3]) + float(r[4])) / float(r[1]) * 1e6 for r in runs]
    print(f"{level + ' ' + name:<16}{statistics.median(rates):>18.0f}{f'{min(rates):.0f}-{max(rates):.0f}':>20}"
          f"{statistics.median(cpu):>18.1f}")
PY
