#!/usr/bin/env bash
# Reliability checks of the task connection, run against `korvane serve`:
#  1. SIGKILL in the middle of a run leaves an experiment database that, once
#     opened by Korvane (which adds what the run journal holds), passes
#     PRAGMA integrity_check and holds the trace (EXEC row) of every trial
#     whose DECISION the task received;
#  2. 1,000 connections opened and dropped in a row leave the server
#     listening and answering.
#   bench/task-reliability.sh [BUILD_DIR]      (default build)
# Prints one line per check and exits non-zero when one fails.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
korvane=$build/bin/korvane
work=$(mktemp -d)
export KORVANE_DATA_DIR=$work/data
trap 'kill -9 ${server:-0} 2>/dev/null || true; rm -rf "$work"' EXIT

free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }
wait_listening() {
  for _ in $(seq 1 100); do
    python3 -c "import socket,sys; socket.create_connection(('127.0.0.1',$1),1).close()" 2>/dev/null && return 0
    sleep 0.1
  done
  return 1
}

"$korvane" example binary-choice "$work/kill.mdb" >/dev/null

# --- 1. SIGKILL mid-run ----------------------------------------------------------
port=$(free_port)
"$korvane" serve "$work/kill.mdb" --port "$port" --clock simulated --quiet >"$work/serve1.log" 2>&1 &
server=$!
# Probing the port would start an experiment of its own; wait for the log line.
for _ in $(seq 1 100); do grep -q "^Serving" "$work/serve1.log" && break; sleep 0.1; done
python3 - "$port" "$work/decisions" <<'PY' &
import random, socket, sys
port, out = int(sys.argv[1]), sys.argv[2]
s = socket.create_connection(("127.0.0.1", port)); buf = b""; n = 0; rng = random.Random(1)
def line():
    global buf
    while b"\r\n" not in buf:
        d = s.recv(65536)
        if not d: raise SystemExit(0)
        buf += d
    l, buf = buf.split(b"\r\n", 1); return l.decode()
def send(*ls): s.sendall(b"".join(x.encode() + b"\r\n" for x in ls))
try:
    line()  # BATCH
    for subject in range(1000):
        send("START|I1" if subject == 0 else "RESET|I1")
        while not line().startswith("CUESIZE"): pass
        for t in range(100):
            send("ALTERNATIVE|I1|Option|1", "ALTERNATIVE|I1|Option|2")
            d = line().split("|")
            n += 1
            with open(out, "w") as f: f.write(str(n))
            send("FEEDBACK|I1|%d" % (3 if d[2] == "1" else (4 if rng.random() < 0.8 else 0)))
except (ConnectionError, OSError, SystemExit):
    pass
PY
client=$!
for _ in $(seq 1 600); do
  n=$(cat "$work/decisions" 2>/dev/null || true)
  [ "${n:-0}" -ge 500 ] 2>/dev/null && break
  sleep 0.1
done
kill -9 "$server"
wait "$client" 2>/dev/null || true
received=$(cat "$work/decisions" 2>/dev/null || echo 0)
experiment=$(ls "$work"/kill-*.mdb | head -1)
# The run commits to SQLite in batches; what it had made durable since is in
# the run journal beside the file, which the next opening puts into it.
journal_bytes=$(stat -c %s "$experiment-run" 2>/dev/null || echo 0)
"$korvane" info "$experiment" >/dev/null
echo "run journal left by the killed server: $journal_bytes bytes; after opening: $( [ -e "$experiment-run" ] && echo present || echo gone)"
kill_ok=0
python3 - "$experiment" "$received" <<'PY' || kill_ok=1
import sqlite3, sys
path, received = sys.argv[1], int(sys.argv[2])
db = sqlite3.connect(path)
ok = db.execute("PRAGMA integrity_check").fetchone()[0]
execs = db.execute("SELECT COUNT(*) FROM MetaInstance WHERE Marker = 'EXEC'").fetchone()[0]
rows = db.execute("SELECT COUNT(*) FROM MetaInstance").fetchone()[0]
print(f"SIGKILL after {received} decisions received: integrity_check={ok}, EXEC rows={execs}, trace rows={rows}")
sys.exit(0 if ok == "ok" and execs >= received else 1)
PY

# --- 2. 1,000 connections opened and dropped ---------------------------------------
"$korvane" example binary-choice "$work/conn.mdb" >/dev/null
port=$(free_port)
"$korvane" serve "$work/conn.mdb" --port "$port" --clock simulated --quiet >"$work/serve2.log" 2>&1 &
server=$!
for _ in $(seq 1 100); do grep -q "^Serving" "$work/serve2.log" && break; sleep 0.1; done
conn_ok=0
python3 - "$port" <<'PY' || conn_ok=1
import socket, sys, time
port = int(sys.argv[1])
start = time.monotonic()
for i in range(1000):
    s = socket.create_connection(("127.0.0.1", port))
    if i % 2:            # half read their BATCH, half leave at once
        s.recv(64)
    if i % 3 == 0:       # some leave in the middle of a message
        s.sendall(b"START|I")
    s.close()
s = socket.create_connection(("127.0.0.1", port), timeout=30); buf = b""
def line():
    global buf
    while b"\r\n" not in buf: buf += s.recv(65536)
    l, buf = buf.split(b"\r\n", 1); return l.decode()
assert line().startswith("BATCH|")
s.sendall(b"START|I1\r\n")
while not line().startswith("CUESIZE"): pass
s.sendall(b"ALTERNATIVE|I1|Option|1\r\nALTERNATIVE|I1|Option|2\r\n")
d = line()
print(f"1000 connections opened and dropped in {time.monotonic() - start:.1f} s; the next one got: {d}")
sys.exit(0 if d.startswith("DECISION|") else 1)
PY
kill -TERM "$server"; wait "$server" || true
tail -1 "$work/serve2.log"
copies=$(ls "$work"/conn-*.mdb | wc -l)
echo "experiment copies made: $copies"
[ "$kill_ok" -eq 0 ] && [ "$conn_ok" -eq 0 ]
