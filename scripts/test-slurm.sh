#!/usr/bin/env bash
# Runs a small sweep through a real single-node Slurm cluster and checks that
# its results.csv matches the same sweep run locally.
#
# Starts munged, slurmctld and slurmd from Debian's packages as root, each
# with its configuration, sockets, state and logs in a temporary folder (the
# machine's own Slurm and munge configuration is neither read nor changed),
# and stops them again at the end. When it cannot start them (not root, the
# packages missing, a daemon refusing to start in this container) it says
# why and exits 0: the skip is not a failure. It gives up after
# KORVANE_SLURM_TEST_TIMEOUT seconds (default 120).
#
#   KORVANE_BUILD_DIR=build scripts/test-slurm.sh
set -uo pipefail
cd "$(dirname "$0")/.."
build_dir=${KORVANE_BUILD_DIR:-build}
korvane=$(realpath "$build_dir/bin/korvane" 2>/dev/null || true)
limit=${KORVANE_SLURM_TEST_TIMEOUT:-120}
start_time=$SECONDS

skip() {
  echo "SKIPPED the Slurm sweep test: $*"
  exit 0
}
fail() {
  echo "FAILED the Slurm sweep test: $*"
  for log in "$tmp"/slurmctld.log "$tmp"/slurmd.log "$tmp"/slurm/slurm/*.out; do
    [ -f "$log" ] && { echo "--- $log"; tail -n 15 "$log"; }
  done
  exit 1
}
left() { echo $((limit - (SECONDS - start_time))); }

[ -x "$korvane" ] || { echo "FAILED: no $build_dir/bin/korvane (build first)"; exit 1; }
[ "$(id -u)" -eq 0 ] || skip "it must run as root to start slurmctld, slurmd and munged"
for tool in munged slurmctld slurmd sbatch squeue sinfo python3; do
  command -v "$tool" >/dev/null || skip "$tool is not installed (Debian packages munge, slurmctld, slurmd, slurm-client)"
done

tmp=$(mktemp -d /tmp/korvane-slurm-XXXXXX)
chmod 755 "$tmp"
pids=()
cleanup() {
  for pidfile in "$tmp"/slurmd.pid "$tmp"/slurmctld.pid "$tmp"/munged.pid; do
    [ -f "$pidfile" ] && kill "$(cat "$pidfile")" 2>/dev/null
  done
  sleep 1
  for pidfile in "$tmp"/slurmd.pid "$tmp"/slurmctld.pid "$tmp"/munged.pid; do
    [ -f "$pidfile" ] && kill -9 "$(cat "$pidfile")" 2>/dev/null
  done
  rm -rf "$tmp"
}
trap cleanup EXIT

# Three free ports on this machine.
read -r ctld_port slurmd_port spare_port < <(python3 -c '
import socket
s = [socket.socket() for _ in range(3)]
for x in s: x.bind(("127.0.0.1", 0))
print(*[x.getsockname()[1] for x in s])')
host=$(hostname -s)
cpus=$(nproc)

# munge: its own key, socket and files.
mkdir -p "$tmp/munge"
chmod 700 "$tmp/munge"
dd if=/dev/urandom of="$tmp/munge/munge.key" bs=1024 count=1 status=none
chmod 400 "$tmp/munge/munge.key"
munged --force --key-file="$tmp/munge/munge.key" --socket="$tmp/munge/munge.socket" \
  --pid-file="$tmp/munged.pid" --log-file="$tmp/munged.log" --seed-file="$tmp/munge/munge.seed" \
  >"$tmp/munged.out" 2>&1 || skip "munged did not start: $(tail -n 2 "$tmp/munged.out" "$tmp/munged.log" 2>/dev/null | tr '\n' ' ')"

mkdir -p "$tmp/state" "$tmp/spool"
export SLURM_CONF="$tmp/slurm.conf"
cat >"$SLURM_CONF" <<EOF
ClusterName=korvanetest
SlurmctldHost=$host(127.0.0.1)
SlurmctldPort=$ctld_port
SlurmdPort=$slurmd_port
AuthType=auth/munge
AuthInfo=socket=$tmp/munge/munge.socket
CredType=cred/munge
SlurmUser=root
SlurmdUser=root
StateSaveLocation=$tmp/state
SlurmdSpoolDir=$tmp/spool
SlurmctldPidFile=$tmp/slurmctld.pid
SlurmdPidFile=$tmp/slurmd.pid
SlurmctldLogFile=$tmp/slurmctld.log
SlurmdLogFile=$tmp/slurmd.log
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
SwitchType=switch/none
MpiDefault=none
ReturnToService=2
SchedulerType=sched/builtin
SelectType=select/cons_tres
SelectTypeParameters=CR_Core
JobCompType=jobcomp/none
JobAcctGatherType=jobacct_gather/none
AccountingStorageType=accounting_storage/none
MailProg=/bin/true
NodeName=$host NodeAddr=127.0.0.1 CPUs=$cpus State=UNKNOWN
PartitionName=korvane Nodes=$host Default=YES MaxTime=INFINITE State=UP
EOF

slurmctld -f "$SLURM_CONF" -i >"$tmp/slurmctld.out" 2>&1 || skip "slurmctld did not start: $(tail -n 3 "$tmp/slurmctld.out" "$tmp/slurmctld.log" 2>/dev/null | tr '\n' ' ')"
slurmd -f "$SLURM_CONF" >"$tmp/slurmd.out" 2>&1 || skip "slurmd did not start: $(tail -n 3 "$tmp/slurmd.out" "$tmp/slurmd.log" 2>/dev/null | tr '\n' ' ')"

# Wait for the node to be idle.
ready=""
for _ in $(seq 1 60); do
  state=$(sinfo -h -n "$host" -o %t 2>/dev/null | head -n 1)
  if [ "$state" = "idle" ]; then ready=yes; break; fi
  sleep 0.5
done
[ -n "$ready" ] || skip "the node did not become idle (state '${state:-none}'): $(tail -n 3 "$tmp/slurmd.log" 2>/dev/null | tr '\n' ' ')"
echo "Single-node Slurm is up on $host ($cpus CPUs) after $((SECONDS - start_time)) s"

export KORVANE_DATA_DIR="$tmp/data"
"$korvane" example binary-choice "$tmp/bc.mdb" >/dev/null || fail "cannot create the example model"
grid=(--vary Params_D_Value=0.3,0.7 --vary Params_S_Value=0.15,0.35 --subjects 5 --trials 20 --block-size 5)

timeout "$(left)" "$korvane" sweep "$tmp/bc.mdb" -o "$tmp/local" "${grid[@]}" --jobs 2 >"$tmp/local.out" 2>&1 ||
  fail "the local sweep failed: $(tail -n 5 "$tmp/local.out")"
timeout "$(left)" "$korvane" sweep "$tmp/bc.mdb" -o "$tmp/slurm" "${grid[@]}" --slurm --chunks 2 --cpus-per-task 1 \
  --time 00:05:00 >"$tmp/submit.out" 2>&1 || fail "the sweep was not submitted: $(cat "$tmp/submit.out")"
cat "$tmp/submit.out"

# The collect job writes results.csv when the array has ended.
while [ "$(left)" -gt 0 ]; do
  [ -z "$(squeue -h 2>/dev/null)" ] && [ -f "$tmp/slurm/results.csv" ] && break
  sleep 1
done
[ -f "$tmp/slurm/results.csv" ] || fail "no results.csv within ${limit} s (queue: $(squeue -h 2>&1 | tr '\n' ' '))"

python3 - "$tmp/local/results.csv" "$tmp/slurm/results.csv" <<'EOF' || fail "results.csv differs between the local and the Slurm run"
import csv, sys
def rows(path):
    with open(path, newline="") as f:
        table = list(csv.reader(f))
    at = table[0].index("seconds")
    return [r[:at] + r[at + 1:] for r in table]
local, slurm = rows(sys.argv[1]), rows(sys.argv[2])
if local != slurm:
    for a, b in zip(local, slurm):
        if a != b: print("local:", a, "\nslurm:", b)
    sys.exit(1)
if len(local) != 5 or any(r[local[0].index("status")] != "ok" for r in local[1:]):
    print("expected 4 complete points:", local); sys.exit(1)
EOF
echo "PASSED the Slurm sweep test: 4 points through a 2-task job array and collect, results.csv as in the local run ($((SECONDS - start_time)) s)"
