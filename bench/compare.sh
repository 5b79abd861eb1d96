#!/usr/bin/env bash
# Decisions per second of Korvane's batch paths on the binary-choice example
# (simulated clock, seed 1), each at the three trace levels (0 full,
# 1 decisions, 2 none), and the cost per decision as memory grows:
#   demo        `korvane demo`: the task and the server in one process, over
#               loopback TCP;
#   serve+task  `korvane serve` and the C++ sample task (`korvane task
#               binary-choice`) as two processes;
#   serve+py    the same server and the Python sample task
#               (examples/binary_choice_task.py), when python3 is there;
#   py in-proc  the Python sample task with the model in its own process
#               (binary_choice_task.py --in-process: the extension module,
#               no server, no socket), every subject, when the build has the
#               extension (build/python/korvane);
#   in-process  the engine driven without sockets (bench_batch).
# Every run makes each trial durable before its DECISION leaves, as any run.
#
#   bench/compare.sh [BUILD_DIR] [SUBJECTS] [TRIALS]     (default build 1000 100)
#
# Needs the targets korvane and bench_batch. The Python task is slow by
# itself (about its own speed is what it measures): it runs a tenth of the
# subjects.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
subjects=${2:-1000}
trials=${3:-100}
korvane=$build/bin/korvane
work=$(mktemp -d)
export KORVANE_DATA_DIR=$work/data
server=0
trap 'kill -9 $server 2>/dev/null || true; rm -rf "$work"' EXIT

free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }
rate() { awk -v d="$1" -v s="$2" 'BEGIN { if (s > 0) printf "%.0f", d / s; else print "-" }'; }

serve() {  # serve MODEL PORT: starts the server in the background
  "$korvane" serve "$1" --port "$2" --clock simulated --seed 1 --quiet >"$work/serve.log" 2>&1 &
  server=$!
  for _ in $(seq 1 100); do grep -q "^Serving" "$work/serve.log" && return 0; sleep 0.1; done
  sleep 1
}
stop_server() { kill -TERM "$server" 2>/dev/null || true; wait "$server" 2>/dev/null || true; server=0; }

printf "binary-choice example, %s subjects x %s trials (python task: %s subjects)\n" "$subjects" "$trials" \
  "$(( subjects / 10 > 0 ? subjects / 10 : 1 ))"
printf "%-12s %12s %12s %12s   (decisions per second)\n" "path" "full" "decisions" "none"
declare -A result
for level in 0 1 2; do
  # demo: one process
  out=$("$korvane" demo --subjects "$subjects" --trials "$trials" --seed 1 --trace-level "$level")
  line=$(grep -E "decisions in .* s \(" <<<"$out" | tail -1)
  result[demo,$level]=$(rate "$(awk '{print $1}' <<<"$line")" "$(awk '{print $4}' <<<"$line")")

  # serve + the C++ task in a second process
  model=$work/model-$level.mdb
  "$korvane" example binary-choice "$model" >/dev/null
  "$korvane" set "$model" Params_TraceLevel "$level" >/dev/null
  port=$(free_port)
  serve "$model" "$port"
  out=$("$korvane" task binary-choice --port "$port" --subjects "$subjects" --trials "$trials" --seed 1)
  stop_server
  line=$(grep -E "decisions in .* s$" <<<"$out" | tail -1)
  result[task,$level]=$(rate "$(awk '{print $1}' <<<"$line")" "$(awk '{print $4}' <<<"$line")")

  # serve + the Python task
  if command -v python3 >/dev/null; then
    port=$(free_port)
    serve "$model" "$port"
    py_subjects=$(( subjects / 10 > 0 ? subjects / 10 : 1 ))
    out=$(python3 "$root/examples/binary_choice_task.py" --port "$port" --subjects "$py_subjects" --trials "$trials")
    stop_server
    line=$(grep -E "decisions in .* s$" <<<"$out" | tail -1)
    result[py,$level]=$(rate "$(awk '{print $1}' <<<"$line")" "$(awk '{print $4}' <<<"$line")")
  else
    result[py,$level]="-"
  fi

  # the Python task with the model in-process
  if [ -d "$build/python/korvane" ] && [ -x /usr/bin/python3 ]; then
    out=$(PYTHONPATH=$build/python /usr/bin/python3 "$root/examples/binary_choice_task.py" --in-process "$model" \
      --model-seed 1 --subjects "$subjects" --trials "$trials")
    line=$(grep -E "decisions in .* s$" <<<"$out" | tail -1)
    result[pyin,$level]=$(rate "$(awk '{print $1}' <<<"$line")" "$(awk '{print $4}' <<<"$line")")
  else
    result[pyin,$level]="-"
  fi
done

# in-process: the engine without sockets
json=$("$build/bin/bench_batch" --subjects="$subjects" --trials="$trials" --benchmark_format=json 2>/dev/null)
values=$(python3 - "$json" <<'PY'
import json, sys
data = json.loads(sys.argv[1])
for b in data["benchmarks"]:
    name = b["name"].split("/")
    if name[0] == "BM_BinaryChoiceInProcess":
        print(f"inproc {name[1]} {b['decisions_per_second']:.0f} {b['db_mb_per_10k']:.2f}")
    elif name[0] == "BM_GrowingMemory":
        print(f"growing {name[1]} {b['us_per_decision_at_100']:.0f} {b['us_per_decision_last_100']:.0f} "
              f"{b['us_per_decision_with_index_build']:.0f} {b['instances']:.0f}")
PY
)
while read -r kind level a b c d; do
  case $kind in
    inproc) result[inproc,$level]=$a; result[size,$level]=$b ;;
    growing) result[grow,$level]="$a us at 100 instances, $b us at $d, $c us per decision with the index build" ;;
  esac
done <<<"$values"

printf "%-12s %12s %12s %12s\n" "demo" "${result[demo,0]}" "${result[demo,1]}" "${result[demo,2]}"
printf "%-12s %12s %12s %12s\n" "serve+task" "${result[task,0]}" "${result[task,1]}" "${result[task,2]}"
printf "%-12s %12s %12s %12s\n" "serve+py" "${result[py,0]}" "${result[py,1]}" "${result[py,2]}"
printf "%-12s %12s %12s %12s\n" "py in-proc" "${result[pyin,0]}" "${result[pyin,1]}" "${result[pyin,2]}"
printf "%-12s %12s %12s %12s\n" "in-process" "${result[inproc,0]:--}" "${result[inproc,1]:--}" "${result[inproc,2]:--}"
printf "%-12s %12s %12s %12s   (MB of experiment database per 10,000 decisions)\n" "size" \
  "${result[size,0]:--}" "${result[size,1]:--}" "${result[size,2]:--}"
echo "memory growing to 1000 instances (normal payoffs, 1000 trials, in-process):"
for level in 0 1 2; do echo "  trace level $level: ${result[grow,$level]:--}"; done
